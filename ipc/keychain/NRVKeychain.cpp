#include "ipc/keychain/NRVKeychain.h"


#include "foundation/NSDataBase64.h"
#include "foundation/NSDictionaryExtensions.h"
#include "foundation/NSStringExtensions.h"
#include "ipc/keychain/QKWCertificateInfo.h"
#include "platform/fs/FileManager.h"
#include "platform/keychain/DomainKeychain.h"
#include "platform/system/SystemEnvironment.h"
#include "platform/thread/Mutex.h"
#include "platform/memory/NoDestructor.h"

namespace kc = platform::keychain;

namespace NRVKeychain {

namespace {

constexpr const char* kDefaultRedirectPath = "/Downloads/TestKeychain.keychain";
constexpr const char* kDefaultRedirectPassword = "kiwi482";
// Where the administrator domain's trust settings live in the system
// keychain: certificate SHA-256 (hexadecimal) -> trust-settings array.
constexpr const char* kAdminTrustSettingsKey = "trustSettings.admin";

struct Redirect {
    platform::Mutex mutex;
    bool flag GUARDED_BY(mutex) = false;
    std::optional<std::string> path GUARDED_BY(mutex);
    std::optional<std::string> password GUARDED_BY(mutex);
};

Redirect& redirect() {
    static platform::NoDestructor<Redirect> instance;
    return *instance;
}

bool redirectActive() {
    Redirect& r = redirect();
    platform::MutexLock lock(r.mutex);
    return r.flag;
}

bool fail(NRVError* error, OSStatus status, const std::string& message) {
    return setError(error, status, message);
}

bool failWithPlatformMessage(NRVError* error, OSStatus status) {
    return setError(error, status, kc::statusMessage(status));
}

bool blank(const std::optional<std::string>& text) { return NSStringExtensions::isNilOrWhiteSpace(text); }

NRVData tagBytes(const std::optional<std::string>& tag) {
    return tag ? NRVData(tag->begin(), tag->end()) : NRVData();
}

std::string certificateDigest(const NRVCertificate& certificate) {
    return Base64::sha256Hash(certificate.data());
}

// The administrator domain's settings are kept by the real system keychain,
// never by a redirect keychain.
OSStatus adminDomain(NRVKeychainRef* out) {
    platform::Error error;
    return kc::statusOf(kc::copyDomainDefault(kc::Domain::System, out, &error), error);
}

NRVCertificateRef certificateBySubjectName(int location, const std::string& name, NRVError* error) {
    NRVKeychainRef keychain = getKeychain(location, error);
    if (!keychain) return nullptr;
    std::vector<NRVSecItem::FoundCertificate> found;
    OSStatus rc = NRVSecItem::copyCertificatesMatchingSubject(keychain, name, 1, &found);
    if (rc != kc::status::success) {
        failWithPlatformMessage(error, rc);
        return nullptr;
    }
    return found.front().certificate;
}

}  // namespace

bool setError(NRVError* error, std::int64_t code, const std::string& message) {
    if (!error) return false;
    *error = NRVError(kErrorDomain, code, message);
    return true;
}

// ---- redirect mode

void setRedirectSystemMode(const std::optional<std::string>& path, const std::optional<std::string>& password) {
    Redirect& r = redirect();
    platform::MutexLock lock(r.mutex);
    r.flag = true;
    r.path = path;
    r.password = password;
}

std::string getRedirectSystemKeychainFilePath() {
    std::optional<std::string> path;
    {
        Redirect& r = redirect();
        platform::MutexLock lock(r.mutex);
        path = r.path;
    }
    if (path && !path->empty()) return verifyPath(*path);
    return kDefaultRedirectPath;
}

std::string getRedirectSystemKeychainPassword() {
    Redirect& r = redirect();
    platform::MutexLock lock(r.mutex);
    return r.password ? *r.password : kDefaultRedirectPassword;
}

std::string verifyPath(const std::string& path) {
    bool isDirectory = false;
    std::string folder = platform::fs::deletingLastPathComponent(path);
    if (!folder.empty() && platform::fs::fileExists(folder, &isDirectory) && isDirectory) return path;
    return platform::homeDirectory() + path;
}

// ---- custom keychain files

NRVKeychainRef createKeychain(const std::string& path, const std::string& password, NRVError* error) {
    NRVKeychainRef keychain;
    platform::Error created;
    OSStatus rc = kc::statusOf(kc::Keychain::create(path, password, &keychain, &created), created);
    if (rc == kc::status::success) return keychain;
    if (rc != kc::status::duplicateKeychain) {
        fail(error, rc, "Keychain creation failed");
        return nullptr;
    }
    // Opening does not check the password; it is tried here so that later
    // changes can be written, and a wrong one shows when they are.
    keychain = kc::Keychain::open(path);
    keychain->unlock(password);
    return keychain;
}

NRVKeychainRef isKeychainAccessible(const std::optional<std::string>& path, const std::optional<std::string>& password,
                                    NRVError* error) {
    if (blank(path) || !password || password->empty()) return nullptr;
    return createKeychain(*path, *password, error);
}

NRVKeychainRef getCustomKeychain(const std::optional<std::string>& path, const std::optional<std::string>& password,
                                 NRVError* error) {
    return isKeychainAccessible(path, password, error);
}

bool deleteCustomKeychain(const std::string& path, const std::string& password, NRVError* error) {
    NRVKeychainRef keychain = isKeychainAccessible(path, password, error);
    if (!keychain) return false;
    return keychain->deleteFile();
}

std::optional<std::vector<NRVData>> getAllCertificatesFromCustomKeychain(const std::string& path,
                                                                         const std::string& password,
                                                                         NRVError* error) {
    NRVKeychainRef keychain = isKeychainAccessible(path, password, error);
    if (!keychain) return std::nullopt;
    std::vector<NRVSecItem::FoundCertificate> found;
    OSStatus rc = NRVSecItem::copyCertificates(keychain, &found);
    std::vector<NRVData> result;
    for (const auto& f : found) result.push_back(f.certificate->data());
    if (rc != kc::status::success) failWithPlatformMessage(error, rc);
    return result;
}

bool addToCustomKeychainDERCertificate(const std::string& path, const std::string& password, const NRVData& der,
                                       NRVError* error) {
    NRVCertificateRef certificate = NRVCertificate::createWithData(der);
    if (!certificate) return fail(error, 1, "Failed to create certificate."), false;
    NRVKeychainRef keychain = isKeychainAccessible(path, password, error);
    if (!keychain) return false;
    OSStatus rc = NRVSecItem::addCertificate(keychain, certificate);
    if (rc == kc::status::success || rc == kc::status::duplicateItem) return true;
    fail(error, rc, "Failed to add the specified certificate to the specified keychain.");
    return false;
}

// ---- certificates by location

NRVCertificateRef addToKeychainDERCertificate(int location, const NRVData& der, NRVError* error) {
    NRVCertificateRef certificate = NRVCertificate::createWithData(der);
    if (!certificate) {
        fail(error, 1, "Failed to create certificate.");
        return nullptr;
    }
    NRVKeychainRef keychain = getKeychain(location, error);
    if (!keychain) return certificate;
    OSStatus rc = NRVSecItem::addCertificate(keychain, certificate);
    if (rc != kc::status::success && rc != kc::status::duplicateItem)
        fail(error, rc, "Failed to add the specified certificate to the specified keychain.");
    return certificate;
}

std::optional<NRVData> getCertificateDataBySubjectNameMatching(int location, const std::string& name,
                                                               NRVError* error) {
    NRVCertificateRef certificate = certificateBySubjectName(location, name, error);
    if (!certificate) return std::nullopt;
    return certificate->data();
}

NRVCertificateRef getCertificateRefBySubjectNameMatching(int location, const std::string& name, NRVError* error) {
    return certificateBySubjectName(location, name, error);
}

std::optional<NRVArray> isRootCATrusted(int location, const std::string& name, NRVError* error) {
    NRVCertificateRef certificate = certificateBySubjectName(location, name, nullptr);
    if (!certificate) {
        fail(error, 22, "SecCertificateRef is NULL.");
        return std::nullopt;
    }
    NRVKeychainRef admin;
    OSStatus rc = adminDomain(&admin);
    NRVValue table;
    platform::Error failed;
    if (rc == kc::status::success)
        rc = kc::statusOf(admin->metadataValue(kAdminTrustSettingsKey, &table, &failed), failed);
    const NRVValue* settings = rc == kc::status::success && table.isDictionary()
                                   ? table.asDictionary()->find(certificateDigest(*certificate))
                                   : nullptr;
    if (rc == kc::status::success && (!settings || !settings->isArray())) rc = kc::status::itemNotFound;
    if (rc != kc::status::success) {
        fail(error, rc, "Failed to get certificate trust.");
        return std::nullopt;
    }
    return *settings->asArray();
}

bool setCertificateTrust(const NRVCertificateRef& certificate, bool trusted, NRVError* error) {
    if (redirectActive()) return false;
    if (!certificate) return fail(error, 22, "SecCertificateRef is NULL"), false;
    const char* failure = trusted ? "Failed to set certificate trust." : "Failed to remove certificate trust.";
    NRVKeychainRef admin;
    OSStatus rc = adminDomain(&admin);
    NRVValue table;
    platform::Error failed;
    if (rc == kc::status::success)
        rc = kc::statusOf(admin->metadataValue(kAdminTrustSettingsKey, &table, &failed), failed);
    if (rc == kc::status::success) {
        NRVDictionary settings = table.isDictionary() ? *table.asDictionary() : NRVDictionary();
        std::string digest = certificateDigest(*certificate);
        if (trusted) {
            settings.set(digest, NRVArray());  // no constraints: a root for every use
        } else if (!settings.erase(digest)) {
            rc = kc::status::itemNotFound;
        }
        if (rc == kc::status::success)
            rc = kc::statusOf(admin->setMetadataValue(kAdminTrustSettingsKey, std::move(settings), &failed), failed);
    }
    if (rc != kc::status::success) return fail(error, rc, failure), false;
    return true;
}

bool setCertificateTrustBySubjectNameMatching(int location, const std::string& name, bool trusted, NRVError* error) {
    NRVCertificateRef certificate = certificateBySubjectName(location, name, error);
    if (!certificate) return false;
    return setCertificateTrust(certificate, trusted, error);
}

bool deleteCertificateBySubjectNameMatching(int location, const std::string& name, NRVError* error) {
    NRVKeychainRef keychain = getKeychain(location, error);
    if (!keychain) return false;
    std::vector<NRVSecItem::FoundCertificate> found;
    OSStatus rc = NRVSecItem::copyCertificatesMatchingSubject(keychain, name, SIZE_MAX, &found);
    for (const auto& f : found) {
        if (rc != kc::status::success) break;
        rc = NRVSecItem::deleteItem(keychain, f.itemID);
    }
    if (rc != kc::status::success) return failWithPlatformMessage(error, rc), false;
    return true;
}

bool deleteCertificateWithSubjectInfo(int location, const NRVDictionary* subjectInfo,
                                      const std::optional<std::string>& serialNumber, NRVError* error) {
    NRVKeychainRef keychain = getKeychain(location, error);
    if (!keychain) return false;
    return deleteCertificateWithSubjectInfoAndSerialNumber(keychain, subjectInfo, serialNumber, error);
}

bool deleteCertificateWithSubjectInfoAndSerialNumber(const NRVKeychainRef& keychain, const NRVDictionary* subjectInfo,
                                                     const std::optional<std::string>& serialNumber,
                                                     NRVError* error) {
    if (NSDictionaryExtensions::isNilOrEmpty(subjectInfo) || blank(serialNumber)) {
        std::string subject = subjectInfo ? NSDictionaryExtensions::singleLineDescription(*subjectInfo) : "(null)";
        return fail(error, 2,
                    "Failed to remove the certificate '" + subject + "' with serial number '" +
                        (serialNumber ? *serialNumber : "(null)") + "' from the Nerova keychain"),
               false;
    }
    if (!keychain) return false;
    std::vector<NRVSecItem::FoundCertificate> found;
    OSStatus rc = NRVSecItem::copyCertificates(keychain, &found);
    if (rc != kc::status::success && rc != kc::status::itemNotFound) return false;
    bool result = true;
    for (const auto& f : found) {
        if (!QKWCertificateInfo::isEqualToDictionary(QKWCertificateInfo::subjectInfoFromCertificate(f.certificate),
                                                     *subjectInfo) ||
            QKWCertificateInfo::serialNumberFromCertificate(f.certificate) != serialNumber)
            continue;
        OSStatus deleted = NRVSecItem::deleteItem(keychain, f.itemID);
        if (deleted != kc::status::success && deleted != kc::status::itemNotFound) {
            fail(error, deleted,
                 "Failed to remove the certificate '" + NSDictionaryExtensions::niceDescription(*subjectInfo) +
                     "' with serial number '" + *serialNumber + "' from the Nerova keychain");
            result = false;
        }
    }
    return result;
}

// ---- keychains and keys

NRVKeychainRef getKeychain(int location, NRVError* error) {
    switch (location) {
        case kLocationCustom:
            fail(error, 22, "Should not be trying to get custom Keychain. Use getCustomKeychain instead.");
            return nullptr;
        case kLocationSystem: {
            if (redirectActive())
                return isKeychainAccessible(getRedirectSystemKeychainFilePath(), getRedirectSystemKeychainPassword(),
                                            error);
            NRVKeychainRef keychain;
            platform::Error failed;
            if (!kc::copyDomainDefault(kc::Domain::System, &keychain, &failed)) {
                fail(error, kc::statusOf(failed), "SecKeychainCopyDomainDefault system failed");
                return nullptr;
            }
            return keychain;
        }
        case kLocationUser: {
            NRVKeychainRef keychain;
            platform::Error failed;
            if (!kc::copyDomainDefault(kc::Domain::User, &keychain, &failed)) {
                fail(error, kc::statusOf(failed), "SecKeychainCopyDomainDefault user failed:");
                return nullptr;
            }
            return keychain;
        }
        default: return nullptr;
    }
}

NRVKeyRef createKey(const std::optional<std::string>& tag, bool isRSA, int bitSize, int location,
                    const std::optional<std::string>& label, NRVError* error) {
    if (location != 0 && (!tag || tag->empty())) {
        fail(error, 22, "Key tag should not be empty or nil " + (tag ? *tag : std::string("(null)")));
        return nullptr;
    }
    int keyType = isRSA ? NRVKey::kKeyTypeRSA : NRVKey::kKeyTypeEC;
    int bits = isRSA ? (bitSize == 0 ? 2048 : bitSize) : (bitSize == 0 || bitSize > 512 ? 256 : bitSize);
    // Made non-persistent, as the callers expect: neither the location's
    // keychain nor the label is written anywhere.
    (void)label;
    NRVKeyRef key = NRVKey::generate(keyType, bits);
    if (!key && error) *error = NRVError("NSOSStatusErrorDomain", kc::status::param, kc::statusMessage(kc::status::param));
    return key;
}

NRVKeyRef getKey(const std::optional<std::string>& tag, int location, NRVError* error) {
    NRVKeychainRef keychain = getKeychain(location, nullptr);
    std::vector<NRVSecItem::FoundKey> found;
    NRVSecItem::KeyQuery query;
    query.tag = tagBytes(tag);
    OSStatus rc = keychain ? NRVSecItem::copyKeys(keychain, query, 1, true, &found) : kc::status::noSuchKeychain;
    if (rc != kc::status::success) {
        fail(error, rc, "Failed to retrieve key " + (tag ? *tag : std::string("(null)")));
        return nullptr;
    }
    return found.front().key;
}

bool deleteKey(const std::optional<std::string>& tag, int location, NRVError* error) {
    NRVKeychainRef keychain = getKeychain(location, nullptr);
    std::vector<NRVSecItem::FoundKey> found;
    NRVSecItem::KeyQuery query;
    query.tag = tagBytes(tag);
    OSStatus rc = keychain ? NRVSecItem::copyKeys(keychain, query, SIZE_MAX, false, &found) : kc::status::noSuchKeychain;
    for (const auto& f : found) {
        if (rc != kc::status::success) break;
        rc = NRVSecItem::deleteItem(keychain, f.itemID);
    }
    if (rc != kc::status::success) return fail(error, rc, "Failed to delete key " + (tag ? *tag : "(null)")), false;
    return true;
}

std::optional<NRVData> exportKey(const NRVKeyRef& key, NRVError* error) {
    if (!key) {
        fail(error, kc::status::param, "Key reference is NULL");
        return std::nullopt;
    }
    kc::SecureBytes bytes = key->data();
    if (bytes.empty()) {
        fail(error, kc::status::internalComponent, "SecItemExport failed");
        return std::nullopt;
    }
    return NRVData(bytes.data(), bytes.data() + bytes.size());
}

}  // namespace NRVKeychain
