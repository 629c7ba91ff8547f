// The keychain file, its access lists and certificates. Items, keys and
// signing requests are in QKWKeychainItems.cpp.
#include "ipc/keychain/QKWKeychain.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>

#include "foundation/NSDataBase64.h"
#include "foundation/NSDictionaryExtensions.h"
#include "foundation/NSStringExtensions.h"
#include "foundation/NerovaLogger.h"
#include "ipc/keychain/NRVSystemKeychain.h"
#include "ipc/keychain/QKWCertificateInfo.h"
#include "ipc/keychain/QRBKeychainPasswordGenerator.h"
#include "platform/crypto/OpenSSLPtr.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"
#include "platform/thread/RecursiveMutex.h"
#include "platform/memory/NoDestructor.h"

namespace kc = platform::keychain;

namespace {

constexpr std::size_t kMaxPEMLength = 0x100000;

// The installed product's programs that may use its keychain items.
constexpr const char* kTrustedApplications[] = {
    "/Library/Nerova Anti-Virus/nrvconfigd",
    "/Applications/Nerova/Nerova Anti-Virus.app",
    "/Applications/Nerova/Remove Nerova Anti-Virus.app",
    "/Applications/Nerova/Remove Nerova Anti-Virus.app/Contents/MacOS/tools/Pellamoor",
};
constexpr const char* kNetworkExtensionApplication = "/Applications/Nerova/Nerova Network Extension.app";
constexpr const char* kNetworkSystemExtension =
    "/Applications/Nerova/Nerova Network Extension.app/Contents/Library/SystemExtensions/"
    "com.nerova.networkextension.systemextension";

std::string describe(const NRVError& error) {
    return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " \"" + error.localizedDescription +
           "\"";
}

void replaceFirst(std::string& text, const std::string& what) {
    auto at = text.find(what);
    if (at != std::string::npos) text.erase(at, what.size());
}

void replaceAll(std::string& text, const std::string& what, const std::string& with) {
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

}  // namespace

// ---- hooks and the keychain file

QKWKeychain& QKWKeychain::shared() {
    static platform::NoDestructor<QKWKeychain> instance;
    return *instance;
}

NRVKeychainRef QKWKeychain::getKeychain() { return qkwNerovaKeychain_; }
NRVKeychainRef* QKWKeychain::getKeychainPtr() { return &qkwNerovaKeychain_; }
std::string QKWKeychain::getKeychainFilePath() { return "/Library/Nerova Anti-Virus/NerovaSecure.keychain"; }
std::string QKWKeychain::getKeychainPassword() { return QRBKeychainPasswordGenerator::generateKeychainPassword(); }

bool QKWKeychain::setError(NRVError* error, std::int64_t code, const std::string& message) {
    if (!error) return false;
    *error = NRVError(kErrorDomain, code, message);
    return true;
}

void QKWKeychain::logFailure(const std::string& message, const NRVError* error) const {
    NerovaLogger::keychain().error(message + "; error: " + (error ? describe(*error) : std::string("(null)")));
}

// Sets the error and logs the failure with it, also when the caller passed
// no error.
bool QKWKeychain::fail(NRVError* error, std::int64_t code, const std::string& message) {
    NRVError made(kErrorDomain, code, message);
    logFailure(message, &made);
    if (error) *error = std::move(made);
    return false;
}

NRVKeychainRef QKWKeychain::currentKeychain() {
    platform::RecursiveMutexLock lock(slotMutex_);
    return getKeychain();
}

bool QKWKeychain::isKeychainAccessible(NRVError* error) {
    platform::RecursiveMutexLock lock(slotMutex_);
    return openKeychain(error);
}

bool QKWKeychain::openKeychain(NRVError* error) {
    NRVKeychainRef* slot = getKeychainPtr();
    if (!slot) return false;
    std::string path = platform::resolveSystemPath(getKeychainFilePath());
    if (*slot && !platform::fs::itemExists(path)) deleteKeychain();
    // Built once per call and wiped on return.
    kc::SecureBytes password(getKeychainPassword());
    platform::Error failed;
    OSStatus rc = kc::statusOf(kc::Keychain::create(path, password.view(), slot, &failed), failed);
    if (rc == kc::status::duplicateKeychain) {
        *slot = kc::Keychain::open(path);
        rc = kc::statusOf((*slot)->check(&failed), failed);
        if (rc != kc::status::success) {
            fail(error, rc, kc::statusMessage(rc));
            return false;
        }
    } else if (rc != kc::status::success) {
        fail(error, rc, "Failed to create creating VevaroRavEzeriz.keychain");
        return false;
    }
    rc = kc::statusOf((*slot)->unlock(password.view(), &failed), failed);
    if (rc != kc::status::success) {
        fail(error, rc, kc::statusMessage(rc));
        return false;
    }
    return true;
}

void QKWKeychain::closeKeychain() {
    platform::RecursiveMutexLock lock(slotMutex_);
    if (NRVKeychainRef* slot = getKeychainPtr()) slot->reset();
}

bool QKWKeychain::deleteKeychain() {
    platform::RecursiveMutexLock lock(slotMutex_);
    NRVKeychainRef* slot = getKeychainPtr();
    if (!slot || !*slot) return false;
    const bool deleted = (*slot)->deleteFile();
    slot->reset();
    return deleted;
}

std::optional<NRVAccess> QKWKeychain::createAccessForService(const std::string& service, NRVError* error) {
    NRVAccess access{service, {}};
    std::vector<std::string> paths(std::begin(kTrustedApplications), std::end(kTrustedApplications));
    if (platform::fs::itemExists(platform::resolveSystemPath(kNetworkExtensionApplication)))
        paths.push_back(kNetworkSystemExtension);
    for (const std::string& path : paths) {
        // A trusted-application entry needs the program to be there.
        if (!platform::fs::itemExists(platform::resolveSystemPath(path))) {
            NRVError made(kErrorDomain, kc::status::fileNotFound, "Error creating access object for the Nerova keychain");
            NerovaLogger::keychain().error("Failed to create access object for the Nerova keychain; error: " +
                                           describe(made));
            if (error) *error = std::move(made);
            return std::nullopt;
        }
        access.trustedApplications.push_back(path);
    }
    NerovaLogger::keychain().info("Successfully created access object for the Nerova keychain");
    return access;
}

// ---- certificates

bool QKWKeychain::addToKeychainCertificate(const NRVCertificateRef& certificate, NRVError* error) {
    if (!isKeychainAccessible(error)) return false;
    OSStatus rc = NRVSecItem::addCertificate(currentKeychain(), certificate);
    if (rc != kc::status::success && rc != kc::status::duplicateItem)
        return fail(error, rc, "Failed to add the specified certificate to the specified keychain.");
    NerovaLogger::keychain().info("Successfully added the specified certificate to the specified keychain");
    return true;
}

bool QKWKeychain::addToKeychainDERCertificate(const NRVData& der, NRVError* error) {
    NRVCertificateRef certificate = NRVCertificate::createWithData(der);
    if (!certificate) return fail(error, 1, "Failed to create certificate.");
    if (!QKWKeychain::shared().addToKeychainCertificate(certificate, error))
        return fail(error, 2, "Adding the certificate to the keychain failed");
    NerovaLogger::keychain().info("Successfully added the certificate to the keychain");
    return true;
}

bool QKWKeychain::addToKeychainPEMCertificate(const std::optional<std::string>& pem, NRVError* error) {
    NRVCertificateRef certificate = QKWKeychain::shared().createFromPEMCertificate(pem, error);
    if (!certificate) return false;
    if (!QKWKeychain::shared().addToKeychainCertificate(certificate, error))
        return fail(error, 2, "Adding the certificate to the keychain failed");
    NerovaLogger::keychain().info("Successfully added the certificate to the keychain");
    return true;
}

NRVCertificateRef QKWKeychain::createFromPEMCertificate(const std::optional<std::string>& pem, NRVError* error) {
    std::string body = pem.value_or("");
    replaceAll(body, "\r\n", "\n");
    replaceFirst(body, "-----BEGIN CERTIFICATE----- ");
    replaceFirst(body, "-----BEGIN CERTIFICATE-----\n");
    replaceFirst(body, " -----END CERTIFICATE-----");
    replaceFirst(body, "-----END CERTIFICATE-----");
    if (!pem || NSStringExtensions::isNilOrWhiteSpace(body)) return fail(error, 1, "Certificate missing."), nullptr;
    if (body.size() > kMaxPEMLength) return fail(error, 1, "Certificate exceeded maximum length."), nullptr;
    std::size_t length = 0;
    void* decoded = newBase64Decode(body.data(), body.size(), &length);
    NRVCertificateRef certificate =
        decoded ? NRVCertificate::createWithData({static_cast<std::uint8_t*>(decoded), length}) : nullptr;
    std::free(decoded);
    if (!certificate) return fail(error, 1, "Decoding certificate failed."), nullptr;
    NerovaLogger::keychain().info("Successfully created certificate");
    return certificate;
}

std::optional<NRVData> QKWKeychain::getPublicKeyDataFromCertificate(const NRVCertificateRef& certificate,
                                                                    NRVError* error) {
    if (!certificate) return std::nullopt;
    // Evaluate the certificate against the anchors, as a trust object would
    // before handing out its key; the verdict itself is not used.
    platform::crypto::OpenSSLPtr<X509_STORE> store(X509_STORE_new());
    platform::crypto::OpenSSLPtr<X509_STORE_CTX> context(X509_STORE_CTX_new());
    bool made = store && context;
    if (made) {
        if (NRVCertificateArray anchors = NRVSystemKeychain::rootCAs())
            for (const NRVCertificateRef& anchor : *anchors) X509_STORE_add_cert(store.get(), anchor->x509());
        made = X509_STORE_CTX_init(context.get(), store.get(), certificate->x509(), nullptr) == 1;
    }
    bool evaluated = made && X509_verify_cert(context.get()) >= 0;
    if (!made) return fail(error, 6, "Creating a trust object based on the given certificates failed"), std::nullopt;
    if (!evaluated) return fail(error, 6, "Evaluating a trust reference synchronously failed"), std::nullopt;

    EVP_PKEY* key = X509_get_pubkey(certificate->x509());
    if (!key) return fail(error, 6, "Getting public key from certificate failed"), std::nullopt;
    NRVKeyRef publicKey = NRVKey::adopt(key, NRVKey::KeyClass::Public);
    std::string pemText = publicKey->publicKeyPEM();
    if (pemText.empty())
        return fail(error, kc::status::internalComponent,
                    "Failed to retrieve the data of the public key from the specified certificate"),
               std::nullopt;
    NerovaLogger::keychain().info("Successfully retrieved the public key from the specified certificate");
    return NRVData(pemText.begin(), pemText.end());
}

std::vector<NRVSecItem::FoundCertificate> QKWKeychain::certificatesWithSubjectInfo(const NRVDictionary& subjectInfo,
                                                                                   bool first) {
    std::vector<NRVSecItem::FoundCertificate> all, matches;
    NRVSecItem::copyCertificates(currentKeychain(), &all);
    for (auto& found : all) {
        if (!QKWCertificateInfo::isEqualToDictionary(QKWCertificateInfo::subjectInfoFromCertificate(found.certificate),
                                                     subjectInfo))
            continue;
        matches.push_back(std::move(found));
        if (first) break;
    }
    return matches;
}

NRVCertificateRef QKWKeychain::findCertificateWithSubjectInfo(const NRVDictionary* subjectInfo, NRVError* error) {
    if (NSDictionaryExtensions::isNilOrEmpty(subjectInfo) || !isKeychainAccessible(error)) return nullptr;
    auto matches = certificatesWithSubjectInfo(*subjectInfo, true);
    return matches.empty() ? nullptr : matches.front().certificate;
}

std::optional<std::vector<NRVCertificateRef>> QKWKeychain::findCertificatesWithSubjectInfo(
    const NRVDictionary* subjectInfo, NRVError* error) {
    if (NSDictionaryExtensions::isNilOrEmpty(subjectInfo) || !isKeychainAccessible(error)) return std::nullopt;
    std::vector<NRVCertificateRef> result;
    for (auto& found : certificatesWithSubjectInfo(*subjectInfo, false)) result.push_back(found.certificate);
    if (result.empty()) return std::nullopt;
    return result;
}

std::optional<std::vector<NRVCertificateRef>> QKWKeychain::findCertificatesWithSubjectsInfo(
    const std::vector<NRVDictionary>& subjectInfos, NRVError* error) {
    std::vector<NRVCertificateRef> result;
    for (const NRVDictionary& subjectInfo : subjectInfos) {
        if (auto found = QKWKeychain::shared().findCertificatesWithSubjectInfo(&subjectInfo, nullptr))
            result.insert(result.end(), found->begin(), found->end());
    }
    if (result.empty()) {
        fail(error, 3, "Failed to find the certificate with specified common names in the Nerova keychain");
        return std::nullopt;
    }
    NerovaLogger::keychain().info("Successfully found the certificate with specified common names in the Nerova keychain");
    return result;
}

NRVCertificateRef QKWKeychain::findCertificateWithSubjectInfo(const NRVDictionary* subjectInfo,
                                                              const std::optional<std::string>& serialNumber,
                                                              NRVError* error) {
    auto found = QKWKeychain::shared().findCertificatesWithSubjectInfo(subjectInfo, nullptr);
    if (!found) {
        fail(error, 3, "Failed to find the certificate with specified common name and serial number in the Nerova keychain");
        return nullptr;
    }
    for (const NRVCertificateRef& certificate : *found) {
        if (serialNumber && QKWCertificateInfo::serialNumberFromCertificate(certificate) == serialNumber) {
            NerovaLogger::keychain().info(
                "Successfully found the certificate with specified common name and serial number in the Nerova keychain");
            return certificate;
        }
    }
    return nullptr;
}

bool QKWKeychain::deleteMatching(const NRVDictionary& subjectInfo, const std::optional<std::string>& serialNumber,
                                 const std::string& failureMessage, NRVError* error) {
    if (!isKeychainAccessible(error)) return false;
    bool result = true;
    for (const auto& found : certificatesWithSubjectInfo(subjectInfo, false)) {
        if (serialNumber && QKWCertificateInfo::serialNumberFromCertificate(found.certificate) != serialNumber) continue;
        OSStatus rc = NRVSecItem::deleteItem(currentKeychain(), found.itemID);
        if (rc != kc::status::success && rc != kc::status::itemNotFound) result = fail(error, rc, failureMessage);
    }
    return result;
}

bool QKWKeychain::deleteCertificateWithSubjectInfo(const NRVDictionary* subjectInfo, NRVError* error) {
    std::string description =
        subjectInfo ? NSDictionaryExtensions::singleLineDescription(*subjectInfo) : std::string("(null)");
    std::string message = "Failed to remove the certificate '" + description + "' from the Nerova keychain";
    if (NSDictionaryExtensions::isNilOrEmpty(subjectInfo)) return fail(error, 4, message);
    if (!deleteMatching(*subjectInfo, std::nullopt, message, error)) return false;
    NerovaLogger::keychain().info("Successfully removed the certificate '" + description + "' from the Nerova keychain");
    return true;
}

bool QKWKeychain::deleteCertificateWithSubjectInfo(const NRVDictionary* subjectInfo,
                                                   const std::optional<std::string>& serialNumber, NRVError* error) {
    std::string serial = serialNumber.value_or("(null)");
    if (NSDictionaryExtensions::isNilOrEmpty(subjectInfo) || NSStringExtensions::isNilOrWhiteSpace(serialNumber)) {
        std::string description =
            subjectInfo ? NSDictionaryExtensions::singleLineDescription(*subjectInfo) : std::string("(null)");
        return fail(error, 4,
                    "Failed to remove the certificate '" + description + "' with serial number '" + serial +
                        "' from the Nerova keychain");
    }
    std::string message = "Failed to remove the certificate '" + NSDictionaryExtensions::niceDescription(*subjectInfo) +
                          "' with serial number '" + serial + "' from the Nerova keychain";
    if (!deleteMatching(*subjectInfo, serialNumber, message, error)) return false;
    NerovaLogger::keychain().info("Successfully removed the certificate '" +
                                  NSDictionaryExtensions::singleLineDescription(*subjectInfo) +
                                  "' from the Nerova keychain");
    return true;
}

bool QKWKeychain::deleteCertificateBySubjectNameMatching(const std::optional<std::string>& name, NRVError* error) {
    if (!name || name->empty()) return false;
    if (!isKeychainAccessible(error)) return false;
    NRVKeychainRef keychain = currentKeychain();
    std::vector<NRVSecItem::FoundCertificate> found;
    OSStatus rc = NRVSecItem::copyCertificatesMatchingSubject(keychain, *name, SIZE_MAX, &found);
    for (const auto& f : found) {
        if (rc != kc::status::success) break;
        rc = NRVSecItem::deleteItem(keychain, f.itemID);
    }
    if (rc != kc::status::success)
        return fail(error, rc, "Failed to remove the certificates with name '" + *name + "' from the Nerova keychain");
    NerovaLogger::keychain().info("Successfully removed the certificates with name '" + *name +
                                  "' from the Nerova keychain");
    return true;
}

std::optional<std::vector<NRVData>> QKWKeychain::findCertificatesWithSubjectNameMatching(
    const std::optional<std::string>& name, NRVError* error) {
    if (!isKeychainAccessible(error) || !name || name->empty()) return std::nullopt;
    std::vector<NRVSecItem::FoundCertificate> found;
    NRVSecItem::copyCertificatesMatchingSubject(currentKeychain(), *name, SIZE_MAX, &found);
    if (found.empty()) return std::nullopt;
    std::vector<NRVData> result;
    for (const auto& f : found) result.push_back(f.certificate->data());
    return result;
}

std::optional<std::vector<NRVIdentity>> QKWKeychain::identityCreateWithCertificate(const NRVDictionary* subjectInfo,
                                                                                   NRVError* error) {
    std::string description =
        subjectInfo ? NSDictionaryExtensions::singleLineDescription(*subjectInfo) : std::string("(null)");
    auto found = QKWKeychain::shared().findCertificatesWithSubjectInfo(subjectInfo, nullptr);
    if (!found) {
        fail(error, 3, "Failed to find the '" + description + "' certificate in the Nerova keychain");
        return std::nullopt;
    }
    // The identity's private key is the one whose application label is the
    // digest of the certificate's public key, looked for in this class's
    // keychain as it stands (not opened here).
    NRVCertificateRef certificate = found->front();
    NRVSecItem::KeyQuery query;
    query.applicationLabel = certificate->publicKeyHash();
    query.keyClass = NRVKey::KeyClass::Private;
    std::vector<NRVSecItem::FoundKey> keys;
    if (NRVSecItem::copyKeys(currentKeychain(), query, 1, true, &keys) != kc::status::success) {
        fail(error, 5, "Failed to create identity with the '" + description + "' certificate from the Nerova keychain");
        return std::nullopt;
    }
    NerovaLogger::keychain().info("Successfully created identity with the '" + description +
                                  "' certificate from the Nerova keychain");
    return std::vector<NRVIdentity>{NRVIdentity{certificate, keys.front().key}};
}

std::optional<std::vector<NRVData>> QKWKeychain::getAllCertificates(NRVError* error) {
    if (!isKeychainAccessible(error)) return std::nullopt;
    std::vector<NRVSecItem::FoundCertificate> found;
    OSStatus rc = NRVSecItem::copyCertificates(currentKeychain(), &found);
    if (rc != kc::status::success) {
        fail(error, rc, "Failed to retrieve certificates from the Nerova keychain");
        return std::nullopt;
    }
    NerovaLogger::keychain().info("Successfully retrieved certificates from the Nerova keychain");
    std::vector<NRVData> result;
    for (const auto& f : found) result.push_back(f.certificate->data());
    return result;
}
