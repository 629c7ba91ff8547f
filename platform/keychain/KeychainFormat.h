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

inline const UniqueRow* uniqueRow(ItemClass itemClass) {
    for (const UniqueRow& row : kUniqueAttributes)
        if (row.itemClass == itemClass) return &row;
    return nullptr;
}

inline bool knownClass(std::uint32_t value) { return uniqueRow(static_cast<ItemClass>(value)) != nullptr; }

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

std::vector<std::uint8_t> secretAad(ItemClass itemClass, std::uint64_t id);
std::vector<std::uint8_t> headerAad(const Header& h);
std::vector<std::uint8_t> serializeBody(const Keychain::State& s);
bool fileTagMatches(const Keychain::State& s, const SecureBytes& master);
bool parseFile(std::span<const std::uint8_t> bytes, Keychain::State* out);

}  // namespace platform::keychain::detail
