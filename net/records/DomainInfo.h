// The web-reputation verdict for one domain. Data only; the archive keys
// are its wire format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "foundation/NRVError.h"
#include "platform/value/NRVValue.h"

class DomainInfo {
public:
    static constexpr const char* kClassName = "DomainInfo";
    static constexpr bool supportsSecureCoding() { return true; }

    std::optional<std::string> domain;
    std::uint64_t kelpId = 0;
    std::uint64_t reputation = 0;
    std::uint64_t ttl = 0;
    std::optional<NRVArray> universalCategories;  // numbers

    // "domain", "kelpId", "reputation", "ttl", "universalCategories"; nil
    // values left out.
    void encodeWithCoder(NRVDictionary& coder) const;
    // As NRVNetworkExtensionEvent::initWithCoder; "universalCategories"
    // must be an array of numbers.
    static std::optional<DomainInfo> initWithCoder(const NRVDictionary& coder, NRVError* error = nullptr);

    bool operator==(const DomainInfo&) const = default;
};
