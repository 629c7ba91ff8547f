// A server's certificate chain as the TLS layer presented it, with the host
// it was reached by, and its evaluation with OpenSSL: the chain must lead to
// one of the anchor certificates and the leaf must name the host and serve
// TLS servers.
//
// Threading: a trust object is set up and evaluated by one thread at a time
// (the challenge handlers serialise their evaluations); the certificates
// themselves are immutable and may be shared.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/x509.h>

#include "ipc/keychain/NRVCertificate.h"
#include "ipc/keychain/NRVSystemKeychain.h"

// Evaluation results, with the platform's numbers. Only kUnspecified (a
// valid chain with no user trust setting) is a pass for the URL stack.
enum class NRVTrustResult : std::uint32_t {
    kInvalid = 0,
    kProceed = 1,
    kDeny = 3,
    kUnspecified = 4,
    kRecoverableTrustFailure = 5,
    kFatalTrustFailure = 6,
    kOtherError = 7,
};

class NRVServerTrust;
using NRVServerTrustRef = std::shared_ptr<NRVServerTrust>;

class NRVServerTrust {
public:
    // `chain` leaf first; nullptr when it is empty or holds a null entry.
    static NRVServerTrustRef create(std::vector<NRVCertificateRef> chain, std::string host);
    // From the TLS layer's peer chain (leaf first; each certificate gets a
    // reference of its own). nullptr when the stack is null or empty.
    static NRVServerTrustRef createWithX509Chain(const STACK_OF(X509) * chain, std::string host);
    // From what a whole-chain verify callback (SSL_CTX_set_cert_verify_callback)
    // is handed: the peer's leaf, then the other certificates it sent.
    // nullptr without a leaf.
    static NRVServerTrustRef createWithStoreContext(X509_STORE_CTX* context, std::string host);
    // From DER blobs, leaf first; nullptr when one is not a certificate.
    static NRVServerTrustRef createWithDERChain(const std::vector<NRVData>& chain, std::string host);

    virtual ~NRVServerTrust() = default;

    const std::vector<NRVCertificateRef>& certificates() const { return chain_; }
    const std::string& host() const { return host_; }

    // The anchors the chain must lead to. Until set, evaluation uses the
    // system's anchors (NRVSystemKeychain::rootCAs()).
    void setAnchorCertificates(NRVCertificateArray anchors);
    // true: only the anchors set count; false: the system's anchors count too.
    void setAnchorCertificatesOnly(bool only) { anchorsOnly_ = only; }

    // Keys and signatures of the chain must reach this OpenSSL security
    // level (112 bits: RSA from 2048 bits, no SHA-1 or MD5 signatures).
    static constexpr int kMinimumSecurityLevel = 2;

    // kUnspecified when the chain verifies, else kRecoverableTrustFailure
    // (kOtherError when OpenSSL could not run the check), with the reason in
    // *failureReason.
    virtual NRVTrustResult evaluate(std::string* failureReason = nullptr);
    // Why the last evaluation failed ("" after a pass or before any).
    const std::string& lastFailureReason() const { return lastFailureReason_; }

    struct Evaluation {
        NRVTrustResult result = NRVTrustResult::kInvalid;
        std::string failureReason;  // empty on a pass
    };
    // What a TLS verify callback asks: the peer chain (leaf first) checked
    // against the system's anchors only, for `host`. A missing chain or a
    // machine without anchors is kInvalid with its reason.
    static Evaluation evaluateAgainstSystemAnchors(const STACK_OF(X509) * chain, const std::string& host);

protected:
    NRVServerTrust(std::vector<NRVCertificateRef> chain, std::string host)
        : chain_(std::move(chain)), host_(std::move(host)) {}

private:
    std::vector<NRVCertificateRef> chain_;
    std::string host_;
    NRVCertificateArray anchors_;
    bool anchorsSet_ = false;
    bool anchorsOnly_ = false;
    std::string lastFailureReason_;
};
