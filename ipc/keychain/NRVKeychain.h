// A general keychain toolkit: certificates, their administrator trust
// settings and keys in the user's or the system's keychain (named by a
// location code) or in a custom keychain file (named by path and password).
//
// A process-wide redirect mode sends every use of the system keychain to a
// test keychain file instead; once switched on it stays on.
//
// Failures come back as false / nullptr / nullopt and, when an error is
// asked for, an NRVError of domain "com.nerova.customkeychain" whose code is
// the keychain status or one of 1, 2, 22, -50. Nothing here logs.
//
// Threading: every call may come from any thread; the redirect settings are
// guarded, and keychain files are safe to share (platform/keychain).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/NRVError.h"
#include "ipc/keychain/NRVCertificate.h"
#include "ipc/keychain/NRVKey.h"
#include "ipc/keychain/NRVSecItem.h"
#include "platform/value/NRVValue.h"

namespace NRVKeychain {

inline constexpr const char* kErrorDomain = "com.nerova.customkeychain";

// Location codes.
inline constexpr int kLocationUser = 1;
inline constexpr int kLocationSystem = 2;
inline constexpr int kLocationCustom = 3;

// --- redirect mode
void setRedirectSystemMode(const std::optional<std::string>& path, const std::optional<std::string>& password);
// The stored path through verifyPath(), or "/Downloads/TestKeychain.keychain"
// as it is when none (or an empty one) was stored.
std::string getRedirectSystemKeychainFilePath();
// The stored password, or "kiwi482".
std::string getRedirectSystemKeychainPassword();
// The path when its folder exists, else the home folder with the path appended.
std::string verifyPath(const std::string& path);

// --- custom keychain files
bool addToCustomKeychainDERCertificate(const std::string& path, const std::string& password, const NRVData& der,
                                       NRVError* error = nullptr);
std::optional<std::vector<NRVData>> getAllCertificatesFromCustomKeychain(const std::string& path,
                                                                         const std::string& password,
                                                                         NRVError* error = nullptr);
NRVKeychainRef getCustomKeychain(const std::optional<std::string>& path, const std::optional<std::string>& password,
                                 NRVError* error = nullptr);
bool deleteCustomKeychain(const std::string& path, const std::string& password, NRVError* error = nullptr);
NRVKeychainRef createKeychain(const std::string& path, const std::string& password, NRVError* error = nullptr);
NRVKeychainRef isKeychainAccessible(const std::optional<std::string>& path, const std::optional<std::string>& password,
                                    NRVError* error = nullptr);

// --- certificates by location
// The certificate made from the data whenever it could be made, also when
// the keychain was unavailable or adding failed (the error tells); nullptr
// only when the data is no certificate.
NRVCertificateRef addToKeychainDERCertificate(int location, const NRVData& der, NRVError* error = nullptr);
// The administrator trust settings of the named certificate (an empty array
// means trusted as a root for every use), or nullopt.
std::optional<NRVArray> isRootCATrusted(int location, const std::string& name, NRVError* error = nullptr);
bool setCertificateTrust(const NRVCertificateRef& certificate, bool trusted, NRVError* error = nullptr);
std::optional<NRVData> getCertificateDataBySubjectNameMatching(int location, const std::string& name,
                                                               NRVError* error = nullptr);
NRVCertificateRef getCertificateRefBySubjectNameMatching(int location, const std::string& name,
                                                         NRVError* error = nullptr);
bool setCertificateTrustBySubjectNameMatching(int location, const std::string& name, bool trusted,
                                              NRVError* error = nullptr);
bool deleteCertificateWithSubjectInfo(int location, const NRVDictionary* subjectInfo,
                                      const std::optional<std::string>& serialNumber, NRVError* error = nullptr);
bool deleteCertificateBySubjectNameMatching(int location, const std::string& name, NRVError* error = nullptr);
bool deleteCertificateWithSubjectInfoAndSerialNumber(const NRVKeychainRef& keychain, const NRVDictionary* subjectInfo,
                                                     const std::optional<std::string>& serialNumber,
                                                     NRVError* error = nullptr);

// --- keychains and keys
NRVKeychainRef getKeychain(int location, NRVError* error = nullptr);
// A new private key (RSA, or elliptic curve when !isRSA). Like the platform
// call it wraps, the key is made non-persistent: it is not stored.
NRVKeyRef createKey(const std::optional<std::string>& tag, bool isRSA, int bitSize, int location,
                    const std::optional<std::string>& label, NRVError* error = nullptr);
NRVKeyRef getKey(const std::optional<std::string>& tag, int location, NRVError* error = nullptr);
bool deleteKey(const std::optional<std::string>& tag, int location, NRVError* error = nullptr);
std::optional<NRVData> exportKey(const NRVKeyRef& key, NRVError* error = nullptr);

// Stores an error when one is asked for; true when it was stored.
bool setError(NRVError* error, std::int64_t code, const std::string& message);

}  // namespace NRVKeychain
