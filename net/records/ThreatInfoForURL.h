// The web-reputation verdict for one URL. Data only; the archive keys are
// its wire format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "foundation/NRVError.h"
#include "platform/value/NRVValue.h"

class ThreatInfoForURL {
public:
    static constexpr const char* kClassName = "ThreatInfoForURL";
    static constexpr bool supportsSecureCoding() { return true; }

    std::optional<std::string> url;
    std::optional<std::string> threatName;
    std::uint64_t kelpUriID = 0;
    std::uint64_t ttl = 0;
    std::optional<std::string> riskLevel;
    std::optional<std::string> universalCategory;

    // "url", "threatName", "kelpUriID", "ttl", "riskLevel",
    // "universalCategory"; nil strings left out.
    void encodeWithCoder(NRVDictionary& coder) const;
    // As NRVNetworkExtensionEvent::initWithCoder.
    static std::optional<ThreatInfoForURL> initWithCoder(const NRVDictionary& coder, NRVError* error = nullptr);

    bool operator==(const ThreatInfoForURL&) const = default;
};
