// Certificates and keys as items of a keychain file: the attributes they are
// stored and found by. Shared by the keychain toolkits, which add their own
// rules on top. Thread-safe as the keychain file is.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ipc/keychain/NRVCertificate.h"
#include "ipc/keychain/NRVKey.h"
#include "platform/keychain/Keychain.h"

using NRVKeychainRef = std::shared_ptr<platform::keychain::Keychain>;
using OSStatus = platform::keychain::Status;

// One item of a keychain file.
struct NRVKeychainItemRef {
    NRVKeychainRef keychain;
    std::uint64_t itemID = 0;
};

namespace NRVSecItem {

// Attribute tags of the keychain item API.
inline constexpr const char* kLabel = "labl";
inline constexpr const char* kService = "svce";
inline constexpr const char* kAccount = "acct";
inline constexpr const char* kDescription = "desc";
inline constexpr const char* kType = "type";
inline constexpr const char* kInvisible = "invi";
inline constexpr const char* kAccess = "acls";  // stored, not enforced
inline constexpr const char* kApplicationTag = "atag";
inline constexpr const char* kApplicationLabel = "klbl";
inline constexpr const char* kKeyType = "kalg";
inline constexpr const char* kKeySize = "bsiz";
inline constexpr const char* kPublicKeyData = "pubk";

struct FoundCertificate {
    NRVCertificateRef certificate;
    std::uint64_t itemID = 0;
};

// duplicateItem when a certificate of the same issuer and serial number is there.
OSStatus addCertificate(const NRVKeychainRef& keychain, const NRVCertificateRef& certificate);
// Every certificate in the order they were added (itemNotFound when none).
OSStatus copyCertificates(const NRVKeychainRef& keychain, std::vector<FoundCertificate>* out);
// Certificates with a subject component equal to `name`, at most `limit`.
OSStatus copyCertificatesMatchingSubject(const NRVKeychainRef& keychain, const std::string& name, std::size_t limit,
                                         std::vector<FoundCertificate>* out);

struct KeyQuery {
    std::optional<NRVData> tag;
    std::optional<std::string> label;
    std::optional<NRVData> applicationLabel;
    std::optional<NRVKey::KeyClass> keyClass;
    std::optional<int> keyType;
    std::optional<int> bits;
};
struct FoundKey {
    NRVKeyRef key;  // private keys only when the keychain is unlocked
    std::uint64_t itemID = 0;
    platform::keychain::ItemClass itemClass = platform::keychain::ItemClass::PublicKey;
    NRVDictionary attributes;
};

// Stores the key (a private key sealed, its public half in clear) with its
// tag and label; the application label is the public key's digest unless given.
OSStatus addKey(const NRVKeychainRef& keychain, const NRVKey& key, const std::optional<NRVData>& tag,
                const std::optional<std::string>& label, const std::optional<NRVData>& applicationLabel = std::nullopt);
// Keys meeting every given field; with `loadKeys` the keys themselves are
// read (a private key needs the keychain unlocked).
OSStatus copyKeys(const NRVKeychainRef& keychain, const KeyQuery& query, std::size_t limit, bool loadKeys,
                  std::vector<FoundKey>* out);

OSStatus deleteItem(const NRVKeychainRef& keychain, std::uint64_t itemID);

}  // namespace NRVSecItem
