#include "ipc/audit/NRVAuditMacUser.h"

#include <cstdio>

#include "foundation/NSDictionaryExtensions.h"
#include "platform/system/SystemEnvironment.h"

namespace {

// "8-4-4-4-12" hexadecimal digits, as the platform's UUID text; upper case.
std::optional<std::string> canonicalUUID(const std::string& text) {
    if (text.size() != 36) return std::nullopt;
    std::string out = text;
    for (std::size_t i = 0; i < out.size(); ++i) {
        char& c = out[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return std::nullopt;
        } else if (c >= 'a' && c <= 'f') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace

std::unique_ptr<NRVAuditMacUser> NRVAuditMacUser::initWithUserID(std::int64_t userID) {
    if (userID < 0 || userID > UINT32_MAX) return nullptr;
    auto name = platform::userNameForUserID(static_cast<std::uint32_t>(userID));
    if (!name) return nullptr;
    return std::make_unique<NRVAuditMacUser>(userID, std::move(name));
}

NRVAuditMacUser::NRVAuditMacUser(std::int64_t userID, std::optional<std::string> username)
    : userID(userID), username(std::move(username)) {}

std::unique_ptr<NRVAuditMacUser> NRVAuditMacUser::initWithCoder(const NRVDictionary& coder) {
    auto user = std::make_unique<NRVAuditMacUser>(0, std::nullopt);
    if (const NRVValue* v = coder.find("UserId")) {
        if (!v->asInteger()) return nullptr;
        user->userID = *v->asInteger();
    }
    for (auto [key, field] : {std::pair{"Username", &user->username}, std::pair{"Domain", &user->domain}}) {
        if (const NRVValue* v = coder.find(key)) {
            if (!v->asString()) return nullptr;
            *field = *v->asString();
        }
    }
    if (const NRVValue* v = coder.find("UUID")) {
        if (!v->asString()) return nullptr;
        user->uuid = canonicalUUID(*v->asString());
        if (!user->uuid) return nullptr;
    }
    return user;
}

void NRVAuditMacUser::encodeWithCoder(NRVDictionary& coder) const {
    coder.set("UserId", static_cast<long long>(userID));
    if (username) coder.set("Username", *username);
    if (domain) coder.set("Domain", *domain);
    if (uuid) coder.set("UUID", *uuid);
}

bool NRVAuditMacUser::isEqual(const NRVAuditMacUser& other) const {
    if (this == &other) return true;
    // A name compares as a string: a missing one equals nothing. Domain and
    // uuid are equal also when both are missing.
    return userID == other.userID && username && other.username && *username == *other.username &&
           domain == other.domain && uuid == other.uuid;
}

NRVDictionary NRVAuditMacUser::dictionaryForReport() const {
    NRVDictionary report;
    encodeWithCoder(report);
    return report;
}

std::string NRVAuditMacUser::description() const {
    return NSDictionaryExtensions::singleLineDescription(dictionaryForReport());
}

std::string NRVAuditMacUser::debugDescription() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("<") + kClassName + ": " + address + " " + description() + ">";
}
