// The keychain file's layout: header, metadata, items and the closing
// checksum and tag. Not part of the layer's interface.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "platform/keychain/Keychain.h"
#include "platform/keychain/KeychainCrypto.h"

namespace platform::keychain::detail {

constexpr char kMagic[8] = {'N', 'R', 'V', 'K', 'C', 'H', 'N', '\0'};
constexpr std::uint32_t kVersion = 1;
// A header asking for more rounds would let a planted file hang every reader.
constexpr std::uint32_t kMaxIterations = 10'000'000;

// Which attributes make an item the same item as another of its class.
struct UniqueRow {
    ItemClass itemClass;
    const char* tags[3];
};
constexpr UniqueRow kUniqueAttributes[] = {
    {ItemClass::GenericPassword, {"acct", "svce", nullptr}},
    {ItemClass::Certificate, {"issu", "snbr", nullptr}},
    {ItemClass::PublicKey, {"klbl", "atag", "type"}},
    {ItemClass::PrivateKey, {"klbl", "atag", "type"}},
    {ItemClass::SymmetricKey, {"klbl", "atag", "type"}},
};

// The row of the class; nullptr for a class the file cannot hold.
const UniqueRow* uniqueRow(ItemClass itemClass);
bool knownClass(std::uint32_t value);

struct Header {
    std::uint32_t iterations = 0;
    std::uint8_t salt[kSaltLength] = {};
    std::uint8_t wrapIv[kIvLength] = {};
    std::uint8_t wrappedKey[kKeyLength] = {};
    std::uint8_t wrapTag[kTagLength] = {};
    bool sameWrapping(const Header& o) const { return std::memcmp(this, &o, sizeof(Header)) == 0; }
};

struct StoredItem {
    Item item;
    std::uint8_t iv[kIvLength] = {};
    std::vector<std::uint8_t> cipher;
    std::uint8_t tag[kTagLength] = {};
};

// What an item's sealed secret is bound to: its class and id, so that a
// secret cannot be moved to another item.
std::vector<std::uint8_t> secretAad(ItemClass itemClass, std::uint64_t id);
// What the wrapped master key is bound to: the header before it.
std::vector<std::uint8_t> headerAad(const Header& h);
// The whole file: the body, its SHA-256 checksum and the HMAC of the
// checksum under a key taken from the master key (both kept in the state).
std::vector<std::uint8_t> serializeFile(Keychain::State& s);
// Whether the state's tag is the one the master key makes.
bool fileTagMatches(const Keychain::State& s, const SecureBytes& master);
// Parses a whole file into `out`; false for anything that is not a complete,
// consistent file of this version.
bool parseFile(std::span<const std::uint8_t> bytes, Keychain::State* out);

}  // namespace platform::keychain::detail
