// The toolkit over the product's own keychain file: opening and unlocking
// it, certificates and identities, data and password items, keys and
// certificate signing requests.
//
// Each keychain class is one object reached through shared(): QKWKeychain
// serves "/Library/Nerova Anti-Virus/NerovaSecure.keychain", and subclasses
// (MDWKeychain) override the four hooks to serve another file with another
// password. Every operation opens, unlocks and searches the keychain of the
// object it is called on, except these inner steps, which always use
// QKWKeychain::shared() and so the product keychain: the adding step (and
// the PEM decoding) of the DER and PEM adds, the certificate search inside
// findCertificatesWithSubjectsInfo, the serial-number find and
// identityCreateWithCertificate, createAccessForService, the read-back of
// addItemForService, the request of csrInPEMFormatWithKeyLabel and the key
// pair of createCertificateSigningRequestWithKeyLabel (stored in the
// keychain its caller opened). Product paths are read under the system root
// (NRV_SYSTEM_ROOT).
//
// Failures come back as false / nullptr / nullopt and, when an error is
// asked for, an NRVError of domain "com.nerova.qkwkeychain" (code: the
// keychain status or one of 1-11). Each operation logs its success at info
// level and its failure at error level on the keychain log handle; secrets
// never appear in errors or logs.
//
// Threading: every operation may be called from any thread. The object's
// keychain reference is guarded by its own recursive mutex, slotMutex_; the
// keychain file serialises changes across threads and processes.
// Lock order where they nest: slotMutex_ is held while the keychain file is
// opened, created and unlocked, so it comes first; the platform keychain's
// locks (its registry of open files, then the file object's own mutex) come
// after it. None of those calls back into this class, so the order cannot
// turn round.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/NRVError.h"
#include "ipc/keychain/NRVAccess.h"
#include "ipc/keychain/NRVCertificate.h"
#include "ipc/keychain/NRVIdentity.h"
#include "ipc/keychain/NRVKey.h"
#include "ipc/keychain/NRVSecItem.h"
#include "platform/thread/RecursiveMutex.h"
#include "platform/value/NRVValue.h"
#include "platform/memory/NoDestructor.h"

class QKWKeychainItem;

class QKWKeychain {
public:
    static constexpr const char* kErrorDomain = "com.nerova.qkwkeychain";
    // Key labels of signing requests begin with this; the request's common
    // name is "com.nerova.dudaz." followed by the rest of the label.
    static constexpr const char* kSigningKeyLabelPrefix = "com.nerova.dudaz.key.";

    static QKWKeychain& shared();
    virtual ~QKWKeychain() = default;
    QKWKeychain(const QKWKeychain&) = delete;
    QKWKeychain& operator=(const QKWKeychain&) = delete;

    // ---- hooks
    virtual NRVKeychainRef getKeychain();
    virtual NRVKeychainRef* getKeychainPtr();
    virtual std::string getKeychainFilePath();
    virtual std::string getKeychainPassword();

    // ---- the keychain file
    // Opens (creating it when missing) and unlocks this class's keychain.
    bool isKeychainAccessible(NRVError* error = nullptr);
    void closeKeychain();
    bool deleteKeychain();
    std::optional<NRVAccess> createAccessForService(const std::string& service, NRVError* error = nullptr);
    static bool setError(NRVError* error, std::int64_t code, const std::string& message);

    // ---- certificates
    bool addToKeychainDERCertificate(const NRVData& der, NRVError* error = nullptr);
    bool addToKeychainPEMCertificate(const std::optional<std::string>& pem, NRVError* error = nullptr);
    bool addToKeychainCertificate(const NRVCertificateRef& certificate, NRVError* error = nullptr);
    NRVCertificateRef createFromPEMCertificate(const std::optional<std::string>& pem, NRVError* error = nullptr);
    // The public key in PEM armour; the certificate's trust is evaluated
    // on the way but its result does not matter.
    std::optional<NRVData> getPublicKeyDataFromCertificate(const NRVCertificateRef& certificate,
                                                           NRVError* error = nullptr);
    bool deleteCertificateWithSubjectInfo(const NRVDictionary* subjectInfo, NRVError* error = nullptr);
    bool deleteCertificateWithSubjectInfo(const NRVDictionary* subjectInfo, const std::optional<std::string>& serialNumber,
                                          NRVError* error = nullptr);
    bool deleteCertificateBySubjectNameMatching(const std::optional<std::string>& name, NRVError* error = nullptr);
    NRVCertificateRef findCertificateWithSubjectInfo(const NRVDictionary* subjectInfo, NRVError* error = nullptr);
    std::optional<std::vector<NRVCertificateRef>> findCertificatesWithSubjectInfo(const NRVDictionary* subjectInfo,
                                                                                  NRVError* error = nullptr);
    std::optional<std::vector<NRVCertificateRef>> findCertificatesWithSubjectsInfo(
        const std::vector<NRVDictionary>& subjectInfos, NRVError* error = nullptr);
    NRVCertificateRef findCertificateWithSubjectInfo(const NRVDictionary* subjectInfo,
                                                     const std::optional<std::string>& serialNumber,
                                                     NRVError* error = nullptr);
    std::optional<std::vector<NRVData>> findCertificatesWithSubjectNameMatching(const std::optional<std::string>& name,
                                                                                NRVError* error = nullptr);
    std::optional<std::vector<NRVIdentity>> identityCreateWithCertificate(const NRVDictionary* subjectInfo,
                                                                          NRVError* error = nullptr);
    std::optional<std::vector<NRVData>> getAllCertificates(NRVError* error = nullptr);

    // ---- data and password items
    bool setData(const std::optional<NRVData>& data, const std::optional<std::string>& key, NRVError* error = nullptr);
    std::optional<NRVData> dataForKey(const std::optional<std::string>& key, NRVError* error = nullptr);
    bool removeKey(const std::optional<std::string>& key, NRVError* error = nullptr);
    std::shared_ptr<QKWKeychainItem> addItemForService(const std::optional<std::string>& service,
                                                       const std::optional<std::string>& username,
                                                       const std::optional<std::string>& password,
                                                       const std::optional<std::string>& description,
                                                       NRVError* error = nullptr);
    std::shared_ptr<QKWKeychainItem> itemForService(const std::optional<std::string>& service,
                                                    const std::optional<std::string>& username,
                                                    NRVError* error = nullptr);

    // ---- keys and signing requests
    bool addToKeychainKey(const NRVKeyRef& key, const std::string& name, NRVError* error = nullptr);
    NRVKeyRef findKeyWithTag(const std::optional<std::string>& tag, NRVError* error = nullptr);
    bool deleteKeyWithTag(const std::optional<std::string>& tag, NRVError* error = nullptr);
    std::optional<NRVData> getPublicKeyDataForKeyLabel(const std::string& label, NRVError* error = nullptr);
    // true when both searches (public, then private keys with the label)
    // could run, whether or not anything was found.
    bool deleteKeyPairWithKeyLabel(const std::string& label, NRVError* error = nullptr);
    std::optional<std::string> csrInPEMFormatWithKeyLabel(const std::string& label, NRVError* error = nullptr);
    // A PKCS #10 request (SHA-256 with RSA) for a new 2048-bit key pair that
    // is stored in the keychain under the label, which must begin with
    // kSigningKeyLabelPrefix.
    std::optional<NRVData> createCertificateSigningRequestWithKeyLabel(const std::string& label,
                                                                       NRVError* error = nullptr);
    // Helpers of the request, working on the keychain they are given.
    bool generatePrivateKey(NRVKeyRef* privateKey, NRVKeyRef* publicKey, const std::string& label,
                            const NRVKeychainRef& keychain, NRVError* error = nullptr);
    bool setPubKeyHash(const NRVKeyRef& publicKey, const std::string& label, const NRVKeychainRef& keychain,
                       NRVError* error = nullptr);
    // The key's raw bits (PKCS #1 for RSA, the point for elliptic curves).
    bool convertRefKey(const NRVKeyRef& key, NRVData* rawKey, NRVError* error = nullptr);

protected:
    // The one instance is made by shared() and never destroyed.
    friend class platform::NoDestructor<QKWKeychain>;
    QKWKeychain() = default;

private:
    NRVKeychainRef currentKeychain();
    bool openKeychain(NRVError* error);
    void logFailure(const std::string& message, const NRVError* error) const;
    bool fail(NRVError* error, std::int64_t code, const std::string& message);
    std::vector<NRVSecItem::FoundCertificate> certificatesWithSubjectInfo(const NRVDictionary& subjectInfo, bool first);
    bool deleteMatching(const NRVDictionary& subjectInfo, const std::optional<std::string>& serialNumber,
                        const std::string& failureMessage, NRVError* error);

    platform::RecursiveMutex slotMutex_;  // guards the hooks' reference slot
    NRVKeychainRef qkwNerovaKeychain_;
};
