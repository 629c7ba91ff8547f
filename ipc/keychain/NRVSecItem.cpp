#include "ipc/keychain/NRVSecItem.h"

namespace kc = platform::keychain;

namespace NRVSecItem {

namespace {

constexpr const char* kCertificateData = "cert";
constexpr const char* kSubject = "subj";
constexpr const char* kIssuer = "issu";
constexpr const char* kSerialNumber = "snbr";

std::string labelFor(const NRVCertificate& certificate) {
    for (const auto& [oid, value] : certificate.subjectComponents())
        if (oid == "2.5.4.3") return value;
    auto all = certificate.subjectComponents();
    return all.empty() ? std::string() : all.front().second;
}

OSStatus collect(const NRVKeychainRef& keychain, const kc::Query& query, std::size_t limit,
                 std::vector<FoundCertificate>* out, const std::string* subjectName) {
    out->clear();
    std::vector<kc::Item> items;
    platform::Error error;
    if (!keychain->find(kc::ItemClass::Certificate, query, SIZE_MAX, &items, &error)) return kc::statusOf(error);
    for (const kc::Item& item : items) {
        if (out->size() >= limit) break;
        const NRVValue* der = item.attributes.find(kCertificateData);
        NRVCertificateRef certificate = der && der->asData() ? NRVCertificate::createWithData(*der->asData()) : nullptr;
        if (!certificate) continue;
        if (subjectName && !certificate->subjectMatchesWholeString(*subjectName)) continue;
        out->push_back({certificate, item.id});
    }
    return out->empty() ? kc::status::itemNotFound : kc::status::success;
}

kc::ItemClass classFor(NRVKey::KeyClass keyClass) {
    return keyClass == NRVKey::KeyClass::Public ? kc::ItemClass::PublicKey : kc::ItemClass::PrivateKey;
}

}  // namespace

OSStatus addCertificate(const NRVKeychainRef& keychain, const NRVCertificateRef& certificate) {
    if (!keychain || !certificate) return kc::status::param;
    NRVDictionary attributes;
    attributes.set(kIssuer, certificate->issuerData());
    attributes.set(kSerialNumber, certificate->serialNumberData());
    attributes.set(kSubject, certificate->subjectData());
    attributes.set(kLabel, labelFor(*certificate));
    attributes.set(kPublicKeyData, certificate->publicKeyHash());
    attributes.set(kCertificateData, certificate->data());
    platform::Error error;
    return kc::statusOf(keychain->add(kc::ItemClass::Certificate, std::move(attributes), std::nullopt, nullptr, &error),
                        error);
}

OSStatus copyCertificates(const NRVKeychainRef& keychain, std::vector<FoundCertificate>* out) {
    if (!keychain) return kc::status::param;
    return collect(keychain, {}, SIZE_MAX, out, nullptr);
}

OSStatus copyCertificatesMatchingSubject(const NRVKeychainRef& keychain, const std::string& name, std::size_t limit,
                                         std::vector<FoundCertificate>* out) {
    if (!keychain) return kc::status::param;
    return collect(keychain, {}, limit, out, &name);
}

OSStatus addKey(const NRVKeychainRef& keychain, const NRVKey& key, const std::optional<NRVData>& tag,
                const std::optional<std::string>& label, const std::optional<NRVData>& applicationLabel) {
    if (!keychain) return kc::status::param;
    NRVDictionary attributes;
    attributes.set(kApplicationLabel, applicationLabel ? *applicationLabel : key.publicKeyHash());
    attributes.set(kApplicationTag, tag ? NRVValue(*tag) : NRVValue());
    attributes.set(kType, static_cast<int>(key.keyClass()));
    attributes.set(kKeyType, key.keyType());
    attributes.set(kKeySize, key.bits());
    if (label) attributes.set(kLabel, *label);
    attributes.set(kPublicKeyData, key.publicKeyData());
    platform::Error error;
    if (key.keyClass() == NRVKey::KeyClass::Public) {
        return kc::statusOf(keychain->add(kc::ItemClass::PublicKey, std::move(attributes), std::nullopt, nullptr, &error),
                            error);
    }
    kc::SecureBytes secret = key.data();
    if (secret.empty()) return kc::status::internalComponent;
    return kc::statusOf(keychain->add(kc::ItemClass::PrivateKey, std::move(attributes), secret.span(), nullptr, &error),
                        error);
}

OSStatus copyKeys(const NRVKeychainRef& keychain, const KeyQuery& query, std::size_t limit, bool loadKeys,
                  std::vector<FoundKey>* out) {
    out->clear();
    if (!keychain) return kc::status::param;
    kc::Query constraints;
    if (query.applicationLabel) constraints.emplace_back(kApplicationLabel, *query.applicationLabel);
    if (query.tag) constraints.emplace_back(kApplicationTag, *query.tag);
    if (query.label) constraints.emplace_back(kLabel, *query.label);
    if (query.keyType) constraints.emplace_back(kKeyType, *query.keyType);
    if (query.bits) constraints.emplace_back(kKeySize, *query.bits);
    std::vector<NRVKey::KeyClass> classes;
    if (query.keyClass) classes.push_back(*query.keyClass);
    else classes = {NRVKey::KeyClass::Public, NRVKey::KeyClass::Private};
    for (NRVKey::KeyClass keyClass : classes) {
        std::vector<kc::Item> items;
        platform::Error error;
        OSStatus rc = kc::statusOf(keychain->find(classFor(keyClass), constraints, limit - out->size(), &items, &error),
                                   error);
        if (rc == kc::status::itemNotFound) continue;
        if (rc != kc::status::success) return rc;
        for (kc::Item& item : items) {
            FoundKey found{nullptr, item.id, item.itemClass, std::move(item.attributes)};
            if (loadKeys) {
                if (keyClass == NRVKey::KeyClass::Public) {
                    const NRVValue* der = found.attributes.find(kPublicKeyData);
                    if (der && der->asData()) found.key = NRVKey::fromData(*der->asData(), keyClass);
                } else {
                    kc::SecureBytes secret;
                    if (!keychain->copySecret(item.id, &secret, &error)) return kc::statusOf(error);
                    found.key = NRVKey::fromData(secret.span(), keyClass);
                }
                if (!found.key) return kc::status::decode;
            }
            out->push_back(std::move(found));
        }
        if (out->size() >= limit) break;
    }
    return out->empty() ? kc::status::itemNotFound : kc::status::success;
}

OSStatus deleteItem(const NRVKeychainRef& keychain, std::uint64_t itemID) {
    if (!keychain) return kc::status::param;
    platform::Error error;
    return kc::statusOf(keychain->remove(itemID, &error), error);
}

}  // namespace NRVSecItem
