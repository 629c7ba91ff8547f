#include "ipc/keychain/QKWKeychainItem.h"

#include <cstring>

#include "foundation/NSStringExtensions.h"
#include "foundation/NerovaLogger.h"

namespace kc = platform::keychain;

QKWKeychainItem::QKWKeychainItem(NRVKeychainItemRef coreKeychainItem, std::optional<std::string> serviceName,
                                 std::optional<std::string> userName, std::optional<std::string> password)
    : password(std::move(password)),
      username(std::move(userName)),
      coreKeychainItem_(std::move(coreKeychainItem)),
      serviceName_(std::move(serviceName)) {}

bool QKWKeychainItem::modifyAttributeWithTag(const std::string& tag, const std::string& value) {
    if (!coreKeychainItem_.keychain) return false;
    NRVDictionary changes;
    changes.set(tag, value);
    return coreKeychainItem_.keychain->modify(coreKeychainItem_.itemID, changes);
}

void QKWKeychainItem::setServiceName(const std::optional<std::string>& serviceName) {
    if (NSStringExtensions::isNilOrWhiteSpace(serviceName) || serviceName == serviceName_) return;
    if (modifyAttributeWithTag(NRVSecItem::kService, *serviceName)) serviceName_ = serviceName;
}

void QKWKeychainItem::setLabel(const std::optional<std::string>& label) {
    if (NSStringExtensions::isNilOrWhiteSpace(label) || label == label_) return;
    if (modifyAttributeWithTag(NRVSecItem::kLabel, *label)) label_ = label;
}

bool QKWKeychainItem::setUsername(const std::optional<std::string>& userName, const std::optional<std::string>& newPassword) {
    if (NSStringExtensions::isNilOrWhiteSpace(userName) || !coreKeychainItem_.keychain) return false;
    NRVDictionary changes;
    changes.set(NRVSecItem::kAccount, *userName);
    kc::SecureBytes secret(newPassword.value_or(""));
    if (!coreKeychainItem_.keychain->modify(coreKeychainItem_.itemID, changes, secret.span())) return false;
    password = newPassword;
    username = userName;
    return true;
}

std::optional<NRVValue> QKWKeychainItem::getKeychainAttribute(const std::string& tag, const NRVKeychainItemRef& item) {
    if (!item.keychain) return std::nullopt;
    kc::Item found;
    if (!item.keychain->copyItem(item.itemID, &found)) return std::nullopt;
    const NRVValue* value = found.attributes.find(tag);
    if (!value || value->isNull()) return std::nullopt;
    if (tag == "invi" || tag == "ptcl" || tag == "port") {
        if (const std::int64_t* number = value->asInteger()) return NRVValue(static_cast<long long>(*number));
        if (const bool* flag = value->asBool()) return NRVValue(*flag ? 1 : 0);
        const NRVData* bytes = value->asData();
        std::size_t length = bytes ? bytes->size() : 0;
        if (length == 1 || length == 2 || length == 4) {
            std::uint32_t number = 0;  // as the bytes lie in memory (little-endian here)
            std::memcpy(&number, bytes->data(), length);
            return NRVValue(static_cast<long long>(number));
        }
        NRVDefaultLog().log("Unexpected integer format in keychain item.");
        return NRVValue(0);
    }
    if (const std::string* text = value->asString()) return NRVValue(*text);
    if (const NRVData* bytes = value->asData()) return NRVValue(std::string(bytes->begin(), bytes->end()));
    return std::nullopt;
}
