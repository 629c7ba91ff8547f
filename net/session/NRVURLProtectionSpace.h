// What a challenge protects: a server or proxy, its realm and how it wants
// the client to authenticate; for a TLS server, the trust to evaluate.
#pragma once

#include <cstdint>
#include <string>

#include "net/session/NRVServerTrust.h"

// Authentication methods of a protection space.
namespace NRVURLAuthenticationMethod {
constexpr const char* kDefault = "Default";
constexpr const char* kHTTPBasic = "HTTPBasic";
constexpr const char* kHTTPDigest = "HTTPDigest";
constexpr const char* kNTLM = "NTLM";
constexpr const char* kNegotiate = "Negotiate";
constexpr const char* kClientCertificate = "ClientCertificate";
constexpr const char* kServerTrust = "ServerTrust";
}  // namespace NRVURLAuthenticationMethod

struct NRVURLProtectionSpace {
    std::string host;
    std::uint16_t port = 0;
    std::string protocol;  // "https", "http"; for a proxy its type ("HTTP", "HTTPS")
    std::string realm;
    std::string authenticationMethod = NRVURLAuthenticationMethod::kDefault;
    bool isProxy = false;
    // Set for kServerTrust only.
    NRVServerTrustRef serverTrust;
};
