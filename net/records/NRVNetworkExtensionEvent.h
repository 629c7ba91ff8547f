// One observed network flow, as network components hand it between
// processes. Data only; the archive keys are its wire format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "foundation/NRVError.h"
#include "platform/value/NRVValue.h"

class NRVNetworkExtensionEvent {
public:
    static constexpr const char* kClassName = "NRVNetworkExtensionEvent";
    static constexpr bool supportsSecureCoding() { return true; }

    bool isProxyConnection = false;
    bool isBrowser = false;
    bool isDelayed = false;
    bool isURLValid = false;
    std::optional<std::string> destIP;
    std::int64_t destPort = 0;
    std::optional<std::string> sourceIP;
    std::int64_t sourcePort = 0;
    std::int64_t ipVersion = 0;
    std::optional<std::string> protocol;
    std::optional<std::string> URL;
    std::uint64_t pid = 0;

    // "destIP", "destPort", "sourceIP", "sourcePort", "ipVersion",
    // "protocol", "URL", "pid", "isProxyConnection", "isBrowser",
    // "isDelayed", "isURLValid", in that order; nil strings left out.
    void encodeWithCoder(NRVDictionary& coder) const;
    // A missing key decodes as nil, 0 or false. A key holding another kind
    // of value fails the whole record, as secure decoding does: nullopt, and
    // *error names the key (the last one refused).
    static std::optional<NRVNetworkExtensionEvent> initWithCoder(const NRVDictionary& coder, NRVError* error = nullptr);

    bool operator==(const NRVNetworkExtensionEvent&) const = default;
};
