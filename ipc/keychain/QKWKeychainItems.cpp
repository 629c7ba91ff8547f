// Data and password items, keys and certificate signing requests of the
// product keychain.
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <chrono>
#include <thread>

#include "foundation/NSDataBase64.h"
#include "foundation/NSStringExtensions.h"
#include "foundation/NerovaLogger.h"
#include "ipc/keychain/QKWKeychain.h"
#include "ipc/keychain/QKWKeychainItem.h"
#include "platform/crypto/OpenSSLPtr.h"

namespace kc = platform::keychain;

namespace {

// Shown in place of item contents in errors and logs.
constexpr const char* kRedacted = "<redacted>";
constexpr const char* kDataItemDescription = "Nerova Configuration";
constexpr const char* kDataItemType = "note";

bool blank(const std::optional<std::string>& text) { return NSStringExtensions::isNilOrWhiteSpace(text); }

// The platform stores "invi" as a 32-bit number.
NRVData uint32Bytes(std::uint32_t value) {
    return NRVData{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                   static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

NRVData tagBytes(const std::string& tag) { return NRVData(tag.begin(), tag.end()); }

struct Name {
    const char* field;
    const char* value;
};

}  // namespace

// ---- data under a key

bool QKWKeychain::setData(const std::optional<NRVData>& data, const std::optional<std::string>& key, NRVError* error) {
    std::string failure = "Failed to set the data '" + std::string(data ? kRedacted : "(null)") + "' for key '" +
                          key.value_or("(null)") + "' to the Nerova keychain";
    if (!data || blank(key)) return fail(error, 8, failure);
    if (!isKeychainAccessible(error)) return false;
    NRVKeychainRef keychain = currentKeychain();
    std::vector<kc::Item> found;
    platform::Error failed;
    OSStatus rc = kc::statusOf(
        keychain->find(kc::ItemClass::GenericPassword, {{NRVSecItem::kService, *key}}, 1, &found, &failed), failed);
    if (rc == kc::status::itemNotFound) {
        NRVDictionary attributes;
        attributes.set(NRVSecItem::kLabel, *key);
        attributes.set(NRVSecItem::kService, *key);
        attributes.set(NRVSecItem::kType, kDataItemType);
        attributes.set(NRVSecItem::kDescription, kDataItemDescription);
        attributes.set(NRVSecItem::kInvisible, uint32Bytes(0));
        if (std::optional<NRVAccess> access = QKWKeychain::shared().createAccessForService(*key, nullptr))
            attributes.set(NRVSecItem::kAccess, access->toValue());
        rc = kc::statusOf(keychain->add(kc::ItemClass::GenericPassword, std::move(attributes),
                                        std::span<const std::uint8_t>(*data), nullptr, &failed),
                          failed);
    } else if (rc == kc::status::success) {
        // The data goes only into the sealed secret, never into a clear attribute.
        NRVDictionary changes;
        changes.set(NRVSecItem::kInvisible, uint32Bytes(0));
        rc = kc::statusOf(keychain->modify(found.front().id, changes, std::span<const std::uint8_t>(*data), &failed),
                          failed);
    }
    if (rc != kc::status::success) return fail(error, 8, failure);
    NerovaLogger::keychain().info("Successfully set the data for key '" + *key + "' to the Nerova keychain");
    return true;
}

std::optional<NRVData> QKWKeychain::dataForKey(const std::optional<std::string>& key, NRVError* error) {
    if (blank(key)) {
        NerovaLogger::keychain().error("The specified '" + key.value_or("(null)") + "' key is invalid");
        fail(error, 9, "Failed to find the data for key '" + key.value_or("(null)") + "' in the Nerova keychain");
        return std::nullopt;
    }
    if (!isKeychainAccessible(error)) {
        NerovaLogger::keychain().error("The Nerova Secure Keychain is not accessible");
        return std::nullopt;
    }
    NRVKeychainRef keychain = currentKeychain();
    std::vector<kc::Item> found;
    kc::SecureBytes secret;
    platform::Error failed;
    if (!keychain->find(kc::ItemClass::GenericPassword, {{NRVSecItem::kService, *key}}, 1, &found, &failed) ||
        !keychain->copySecret(found.front().id, &secret, &failed)) {
        const OSStatus rc = kc::statusOf(failed);
        std::string message = "Failed to retrieve the data for the key '" + *key + "' from the Nerova keychain";
        // The error's description: the status's sentence, and the failing
        // system call where there was one.
        NerovaLogger::keychain().error(message + "; " + failed.description + "(OSStatus: " + std::to_string(rc) + ")");
        setError(error, 9, message);
        return std::nullopt;
    }
    NerovaLogger::keychain().info("Successfully retrieved the data for the key '" + *key + "' from the Nerova keychain");
    return NRVData(secret.data(), secret.data() + secret.size());
}

bool QKWKeychain::removeKey(const std::optional<std::string>& key, NRVError* error) {
    if (blank(key))
        return fail(error, 10, "Failed to remove the data for key '" + key.value_or("(null)") + "' from the Nerova keychain");
    if (!isKeychainAccessible(error)) return false;
    NRVKeychainRef keychain = currentKeychain();
    std::vector<kc::Item> found;
    if (!keychain->find(kc::ItemClass::GenericPassword, {{NRVSecItem::kService, *key}}, 1, &found) ||
        !keychain->remove(found.front().id))
        return fail(error, 10, "Unable to remove item for key '" + *key + "' from the Nerova keychain");
    NerovaLogger::keychain().info("Successfully removed item for key '" + *key + "' from the Nerova keychain");
    return true;
}

// ---- user items

std::shared_ptr<QKWKeychainItem> QKWKeychain::addItemForService(const std::optional<std::string>& service,
                                                                const std::optional<std::string>& username,
                                                                const std::optional<std::string>& password,
                                                                const std::optional<std::string>& description,
                                                                NRVError* error) {
    if (blank(service) || blank(username) || !isKeychainAccessible(error)) return nullptr;
    NRVDictionary attributes;
    attributes.set(NRVSecItem::kLabel, *service);
    attributes.set(NRVSecItem::kService, *service);
    attributes.set(NRVSecItem::kAccount, *username);
    attributes.set(NRVSecItem::kDescription, description.value_or(""));
    attributes.set(NRVSecItem::kInvisible, uint32Bytes(0));
    if (std::optional<NRVAccess> access = QKWKeychain::shared().createAccessForService(*service, nullptr))
        attributes.set(NRVSecItem::kAccess, access->toValue());
    kc::SecureBytes secret(blank(password) ? std::string() : *password);
    platform::Error failed;
    OSStatus rc = kc::statusOf(
        currentKeychain()->add(kc::ItemClass::GenericPassword, std::move(attributes), secret.span(), nullptr, &failed),
        failed);
    if (rc == kc::status::duplicateItem) {
        fail(error, rc, "Item '" + *service + "' already exist in the Nerova keychain");
        return nullptr;
    }
    if (rc != kc::status::success) {
        fail(error, rc, "Failed to add item '" + *service + "' to Nerova keychain");
        return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500000));
    NerovaLogger::keychain().info("Successfully added item '" + *service + "' to Nerova keychain");
    return QKWKeychain::shared().itemForService(service, username, error);
}

std::shared_ptr<QKWKeychainItem> QKWKeychain::itemForService(const std::optional<std::string>& service,
                                                             const std::optional<std::string>& username,
                                                             NRVError* error) {
    if (!isKeychainAccessible(error)) return nullptr;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    // A blank service or user name leaves that attribute free, as a length
    // of 0 does in the platform's search.
    kc::Query query;
    if (!blank(service)) query.emplace_back(NRVSecItem::kService, *service);
    if (!blank(username)) query.emplace_back(NRVSecItem::kAccount, *username);
    NRVKeychainRef keychain = currentKeychain();
    std::vector<kc::Item> found;
    kc::SecureBytes secret;
    platform::Error failed;
    OSStatus rc = kc::statusOf(keychain->find(kc::ItemClass::GenericPassword, query, 1, &found, &failed), failed);
    if (rc == kc::status::itemNotFound) return nullptr;
    if (rc == kc::status::success) rc = kc::statusOf(keychain->copySecret(found.front().id, &secret, &failed), failed);
    if (rc != kc::status::success) {
        fail(error, rc, "Failed to obtain item from the Nerova keychain");
        return nullptr;
    }
    NRVKeychainItemRef item{keychain, found.front().id};
    auto text = [&](const char* tag) -> std::optional<std::string> {
        std::optional<NRVValue> value = QKWKeychainItem::getKeychainAttribute(tag, item);
        if (value && value->asString()) return *value->asString();
        return std::nullopt;
    };
    auto wrapper = std::make_shared<QKWKeychainItem>(item, text(NRVSecItem::kService), text(NRVSecItem::kAccount),
                                                     std::string(secret.view()));
    NerovaLogger::keychain().info("Successfully obtained item from the Nerova keychain");
    return wrapper;
}

// ---- keys

bool QKWKeychain::addToKeychainKey(const NRVKeyRef& key, const std::string& name, NRVError* error) {
    if (!isKeychainAccessible(error)) return false;
    OSStatus rc = key ? NRVSecItem::addKey(currentKeychain(), *key, tagBytes(name), name) : kc::status::param;
    if (rc != kc::status::success) return fail(error, rc, "Failed to add key " + name);
    NerovaLogger::keychain().info("Successfully added key '" + name + "'");
    return true;
}

NRVKeyRef QKWKeychain::findKeyWithTag(const std::optional<std::string>& tag, NRVError* error) {
    if (blank(tag)) {
        fail(error, 11, "Failed to find key with tag name '" + tag.value_or("(null)") + "' from the Nerova keychain");
        return nullptr;
    }
    if (!isKeychainAccessible(error)) return nullptr;
    NRVSecItem::KeyQuery query;
    query.tag = tagBytes(*tag);
    std::vector<NRVSecItem::FoundKey> found;
    OSStatus rc = NRVSecItem::copyKeys(currentKeychain(), query, 1, true, &found);
    if (rc != kc::status::success) {
        fail(error, rc, "Failed to retrieve key " + *tag);
        return nullptr;
    }
    NerovaLogger::keychain().info("Successfully retrieved key '" + *tag + "'");
    return found.front().key;
}

bool QKWKeychain::deleteKeyWithTag(const std::optional<std::string>& tag, NRVError* error) {
    if (blank(tag))
        return fail(error, 11, "Failed to find key with tag name '" + tag.value_or("(null)") + "' from the Nerova keychain");
    if (!isKeychainAccessible(error)) return false;
    NRVKeychainRef keychain = currentKeychain();
    NRVSecItem::KeyQuery query;
    query.tag = tagBytes(*tag);
    std::vector<NRVSecItem::FoundKey> found;
    OSStatus rc = NRVSecItem::copyKeys(keychain, query, SIZE_MAX, false, &found);
    for (const auto& f : found) {
        if (rc != kc::status::success) break;
        rc = NRVSecItem::deleteItem(keychain, f.itemID);
    }
    if (rc != kc::status::success) return fail(error, rc, "Failed to delete key " + *tag);
    NerovaLogger::keychain().info("Successfully deleted key '" + *tag + "'");
    return true;
}

std::optional<NRVData> QKWKeychain::getPublicKeyDataForKeyLabel(const std::string& label, NRVError* error) {
    if (!isKeychainAccessible(error)) return std::nullopt;
    NRVSecItem::KeyQuery query;
    query.keyClass = NRVKey::KeyClass::Public;
    query.keyType = NRVKey::kKeyTypeRSA;
    query.bits = 2048;
    query.label = label;
    std::vector<NRVSecItem::FoundKey> found;
    OSStatus rc = NRVSecItem::copyKeys(currentKeychain(), query, 1, true, &found);
    NRVData raw;
    if (rc == kc::status::success && !convertRefKey(found.front().key, &raw, nullptr)) rc = kc::status::decode;
    if (rc != kc::status::success) {
        fail(error, rc, "Failed to retrieve the data of the current public key from the Nerova keychain");
        return std::nullopt;
    }
    NerovaLogger::keychain().info("Successfully retrieved the current public key from the Nerova keychain");
    return raw;
}

bool QKWKeychain::deleteKeyPairWithKeyLabel(const std::string& label, NRVError* error) {
    if (!isKeychainAccessible(error)) return false;
    NRVKeychainRef keychain = currentKeychain();
    bool searchesRan = true;
    for (NRVKey::KeyClass keyClass : {NRVKey::KeyClass::Public, NRVKey::KeyClass::Private}) {
        NRVSecItem::KeyQuery query;
        query.keyClass = keyClass;
        query.label = label;
        std::vector<NRVSecItem::FoundKey> found;
        OSStatus rc = NRVSecItem::copyKeys(keychain, query, SIZE_MAX, false, &found);
        if (rc != kc::status::success && rc != kc::status::itemNotFound) searchesRan = false;
        for (const auto& f : found) NRVSecItem::deleteItem(keychain, f.itemID);
    }
    return searchesRan;
}

// ---- signing requests

bool QKWKeychain::convertRefKey(const NRVKeyRef& key, NRVData* rawKey, NRVError* error) {
    NRVData raw;
    if (key) {
        NRVData spki = key->publicKeyData();
        const unsigned char* cursor = spki.data();
        if (platform::crypto::OpenSSLPtr<X509_PUBKEY> pub{d2i_X509_PUBKEY(nullptr, &cursor, static_cast<long>(spki.size()))}) {
            const unsigned char* bits = nullptr;
            int length = 0;
            if (X509_PUBKEY_get0_param(nullptr, &bits, &length, nullptr, pub.get()) == 1 && length > 0)
                raw.assign(bits, bits + length);
        }
    }
    if (raw.empty()) return fail(error, kc::status::param, "Failed to convert public key to raw format");
    *rawKey = std::move(raw);
    NerovaLogger::keychain().info("Successfully converted public key to raw format");
    return true;
}

bool QKWKeychain::setPubKeyHash(const NRVKeyRef& publicKey, const std::string& label, const NRVKeychainRef& keychain,
                                NRVError* error) {
    NRVSecItem::KeyQuery query;
    query.keyClass = NRVKey::KeyClass::Private;
    query.applicationLabel = tagBytes(label);
    std::vector<NRVSecItem::FoundKey> found;
    OSStatus rc = NRVSecItem::copyKeys(keychain, query, 1, false, &found);
    if (rc != kc::status::success) return fail(error, rc, "Cannot find the private key");
    NRVData raw;
    if (!convertRefKey(publicKey, &raw, error)) return false;
    NRVData digest(SHA_DIGEST_LENGTH);
    if (!SHA1(raw.data(), raw.size(), digest.data())) return fail(error, kc::status::internalComponent, "Failed to calculate public key hash");
    NRVDictionary changes;
    changes.set(NRVSecItem::kApplicationLabel, digest);
    platform::Error failed;
    if (!keychain->modify(found.front().itemID, changes, std::nullopt, &failed))
        return fail(error, kc::statusOf(failed), "Failed to set public key hash");
    NerovaLogger::keychain().info("Successfully set public key hash");
    return true;
}

bool QKWKeychain::generatePrivateKey(NRVKeyRef* privateKey, NRVKeyRef* publicKey, const std::string& label,
                                     const NRVKeychainRef& keychain, NRVError* error) {
    NRVKeyRef pair = NRVKey::generate(NRVKey::kKeyTypeRSA, 2048);
    NRVKeyRef pub = pair ? pair->publicKey() : nullptr;
    OSStatus rc = pair && pub ? kc::status::success : kc::status::internalComponent;
    // Both halves are kept in the keychain under the label; the private
    // key's application label is the label until it is replaced by the
    // public key's digest below, which ties it to its certificate later.
    if (rc == kc::status::success) rc = NRVSecItem::addKey(keychain, *pub, std::nullopt, label);
    if (rc == kc::status::success) rc = NRVSecItem::addKey(keychain, *pair, std::nullopt, label, tagBytes(label));
    if (rc != kc::status::success) return fail(error, rc, "Failed to generate key pair");
    *privateKey = pair;
    *publicKey = pub;
    setPubKeyHash(pub, label, keychain, error);  // a failure stays in the error only
    NerovaLogger::keychain().info("Successfully generated key pair");
    return true;
}

std::optional<NRVData> QKWKeychain::createCertificateSigningRequestWithKeyLabel(const std::string& label,
                                                                                NRVError* error) {
    const std::string prefix = kSigningKeyLabelPrefix;
    if (label.compare(0, prefix.size(), prefix) != 0) {
        fail(error, kc::status::param,
             "Failed to create certificate signing request: the key label '" + label + "' does not begin with '" +
                 prefix + "'");
        return std::nullopt;
    }
    if (!isKeychainAccessible(error)) return std::nullopt;
    NRVKeyRef privateKey, publicKey;
    if (!QKWKeychain::shared().generatePrivateKey(&privateKey, &publicKey, label, currentKeychain(), error))
        return std::nullopt;

    const std::string commonName = "com.nerova.dudaz." + label.substr(prefix.size());
    const Name names[] = {{"CN", commonName.c_str()}, {"O", "Nerova Plc"}, {"C", "UK"}, {"OU", "DUDAZ"}};
    platform::crypto::OpenSSLPtr<X509_REQ> request(X509_REQ_new());
    platform::crypto::OpenSSLPtr<X509_NAME> subject(X509_NAME_new());
    bool ok = request && subject && X509_REQ_set_version(request.get(), 0) == 1;
    for (const Name& name : names) {
        ok = ok && X509_NAME_add_entry_by_txt(subject.get(), name.field, MBSTRING_ASC,
                                              reinterpret_cast<const unsigned char*>(name.value), -1, -1, 0) == 1;
    }
    ok = ok && X509_REQ_set_subject_name(request.get(), subject.get()) == 1 &&
         X509_REQ_set_pubkey(request.get(), privateKey->pkey()) == 1 &&
         X509_REQ_sign(request.get(), privateKey->pkey(), EVP_sha256()) > 0;
    NRVData der;
    unsigned char* bytes = nullptr;
    int length = ok ? i2d_X509_REQ(request.get(), &bytes) : -1;
    if (length > 0) der.assign(bytes, bytes + length);
    OPENSSL_free(bytes);
    if (der.empty()) {
        fail(error, kc::status::internalComponent, "Failed to create certificate signing request");
        return std::nullopt;
    }
    NerovaLogger::keychain().info("Successfully created certificate signing request");
    return der;
}

std::optional<std::string> QKWKeychain::csrInPEMFormatWithKeyLabel(const std::string& label, NRVError* error) {
    if (!isKeychainAccessible(error)) return std::nullopt;
    std::optional<NRVData> der = QKWKeychain::shared().createCertificateSigningRequestWithKeyLabel(label, error);
    if (!der) return std::nullopt;
    std::string base64 = Base64::base64EncodedString(*der);
    std::erase(base64, '\r');
    return "-----BEGIN CERTIFICATE REQUEST-----\n" + base64 + "\n-----END CERTIFICATE REQUEST-----\n";
}
