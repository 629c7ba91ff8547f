// One generic-password item of a keychain: its service, account (user
// name), label and password, and the keychain item it wraps (owned for the
// wrapper's life). Changes are written to the keychain at once.
//
// Threading: not thread-safe; one owner uses a wrapper at a time (the
// keychain file itself may be shared).
#pragma once

#include <optional>
#include <string>

#include "ipc/keychain/NRVSecItem.h"
#include "platform/value/NRVValue.h"

class QKWKeychainItem {
public:
    QKWKeychainItem(NRVKeychainItemRef coreKeychainItem, std::optional<std::string> serviceName,
                    std::optional<std::string> userName, std::optional<std::string> password);

    std::optional<std::string> password;
    std::optional<std::string> username;
    const std::optional<std::string>& label() const { return label_; }
    const std::optional<std::string>& serviceName() const { return serviceName_; }
    const NRVKeychainItemRef& coreKeychainItem() const { return coreKeychainItem_; }

    // Writes the attribute when the name is not blank and differs from the
    // current one; keeps it when that worked.
    void setServiceName(const std::optional<std::string>& serviceName);
    void setLabel(const std::optional<std::string>& label);
    // Writes the account and the secret (the password's UTF-8 bytes) in one
    // change; false for a blank user name or a failed write.
    bool setUsername(const std::optional<std::string>& userName, const std::optional<std::string>& password);
    // Writes one attribute as the string's UTF-8 bytes, secret untouched.
    bool modifyAttributeWithTag(const std::string& tag, const std::string& value);

    // One attribute of an item: for "invi", "ptcl" and "port" an unsigned
    // number read from 1, 2 or 4 bytes (other lengths log
    // "Unexpected integer format in keychain item." and give 0); for every
    // other tag the value as UTF-8 text. nullopt for no item or no value.
    static std::optional<NRVValue> getKeychainAttribute(const std::string& tag, const NRVKeychainItemRef& item);

private:
    NRVKeychainItemRef coreKeychainItem_;
    std::optional<std::string> label_;
    std::optional<std::string> serviceName_;
};
