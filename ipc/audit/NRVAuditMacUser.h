// The user an audit event concerns, as a value that travels between
// processes in coded form and is written into reports.
//
// Threading: a plain value; not synchronised.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/value/NRVValue.h"

class NRVAuditMacUser {
public:
    static constexpr const char* kClassName = "NRVAuditMacUser";
    static constexpr bool supportsSecureCoding = true;

    // Looks the account up; nullptr when there is no such account.
    static std::unique_ptr<NRVAuditMacUser> initWithUserID(std::int64_t userID);
    NRVAuditMacUser(std::int64_t userID, std::optional<std::string> username);
    virtual ~NRVAuditMacUser() = default;

    // Keys "UserId", "Username", "Domain", "UUID". A key present with a value
    // of another type refuses the whole user (nullptr); absent keys stay 0/nil.
    static std::unique_ptr<NRVAuditMacUser> initWithCoder(const NRVDictionary& coder);
    void encodeWithCoder(NRVDictionary& coder) const;

    // The same object, or: same class or a subclass, equal id, a name on
    // both sides and equal, and domain and uuid each equal or nil on both
    // sides. Two users without a name are not equal.
    bool isEqual(const NRVAuditMacUser& other) const;
    std::unique_ptr<NRVAuditMacUser> copy() const { return std::make_unique<NRVAuditMacUser>(*this); }

    NRVDictionary dictionaryForReport() const;  // nil values left out
    std::string description() const;           // the report's single-line description
    std::string debugDescription() const;      // "<NRVAuditMacUser: 0x... description>"

    std::int64_t userID = 0;
    std::optional<std::string> username;
    std::optional<std::string> domain;
    std::optional<std::string> uuid;  // upper-case canonical text
};
