#include "platform/keychain/KeychainFormat.h"

#include "platform/crypto/OpenSSLState.h"

#include <openssl/crypto.h>

#include "platform/keychain/KeychainState.h"
#include "platform/keychain/KeychainValueCodec.h"

namespace platform::keychain::detail {

namespace {

// Everything but the checksum and the tag.
std::vector<std::uint8_t> serializeBody(const Keychain::State& s) {
    std::vector<std::uint8_t> bytes;
    LittleEndianWriter w(bytes);
    w.bytes(kMagic, sizeof kMagic);
    w.u32(kVersion);
    w.u32(s.header.iterations);
    w.bytes(s.header.salt, kSaltLength);
    w.bytes(s.header.wrapIv, kIvLength);
    w.bytes(s.header.wrappedKey, kKeyLength);
    w.bytes(s.header.wrapTag, kTagLength);
    w.u64(s.nextId);
    encodeValue(w, NRVValue(s.metadata));
    w.u32(static_cast<std::uint32_t>(s.items.size()));
    for (const auto& [id, stored] : s.items) {
        w.u32(static_cast<std::uint32_t>(stored.item.itemClass));
        w.u64(id);
        encodeValue(w, NRVValue(stored.item.attributes));
        w.u8(stored.item.hasSecret ? 1 : 0);
        if (stored.item.hasSecret) {
            w.bytes(stored.iv, kIvLength);
            writeBlob(w, stored.cipher.data(), stored.cipher.size());
            w.bytes(stored.tag, kTagLength);
        }
    }
    return bytes;
}

}  // namespace

const UniqueRow* uniqueRow(ItemClass itemClass) {
    for (const UniqueRow& row : kUniqueAttributes)
        if (row.itemClass == itemClass) return &row;
    return nullptr;
}

bool knownClass(std::uint32_t value) { return uniqueRow(static_cast<ItemClass>(value)) != nullptr; }

std::vector<std::uint8_t> secretAad(ItemClass itemClass, std::uint64_t id) {
    std::vector<std::uint8_t> bytes;
    LittleEndianWriter w(bytes);
    w.u32(static_cast<std::uint32_t>(itemClass));
    w.u64(id);
    return bytes;
}

std::vector<std::uint8_t> headerAad(const Header& h) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(sizeof kMagic + 2 * sizeof(std::uint32_t) + kSaltLength);
    LittleEndianWriter w(bytes);
    w.bytes(kMagic, sizeof kMagic);
    w.u32(kVersion);
    w.u32(h.iterations);
    w.bytes(h.salt, kSaltLength);
    return bytes;
}

bool fileTagMatches(const Keychain::State& s, const SecureBytes& master) {
    SecureBytes macKey = subkey(master, "nerova keychain file tag");
    std::uint8_t expected[kDigestLength];
    hmacSHA256(macKey.span(), {s.checksum, kDigestLength}, expected);
    return CRYPTO_memcmp(expected, s.mac, kDigestLength) == 0;
}

std::vector<std::uint8_t> serializeFile(Keychain::State& s) {
    std::vector<std::uint8_t> bytes = serializeBody(s);
    sha256Digest(bytes, s.checksum);
    SecureBytes macKey = subkey(s.masterKey, "nerova keychain file tag");
    hmacSHA256(macKey.span(), {s.checksum, kDigestLength}, s.mac);
    bytes.insert(bytes.end(), s.checksum, s.checksum + kDigestLength);
    bytes.insert(bytes.end(), s.mac, s.mac + kDigestLength);
    return bytes;
}

bool parseFile(std::span<const std::uint8_t> bytes, Keychain::State* out) {
    if (bytes.size() < sizeof kMagic + 8 + 2 * kDigestLength) return false;
    std::span<const std::uint8_t> body = bytes.first(bytes.size() - 2 * kDigestLength);
    std::uint8_t digest[kDigestLength];
    sha256Digest(body, digest);
    if (CRYPTO_memcmp(digest, body.data() + body.size(), kDigestLength) != 0) return false;
    std::memcpy(out->checksum, digest, kDigestLength);
    std::memcpy(out->mac, bytes.data() + bytes.size() - kDigestLength, kDigestLength);

    LittleEndianReader r(body);
    char magic[sizeof kMagic];
    std::uint32_t version = 0;
    Header& h = out->header;
    if (!r.bytes(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof kMagic) != 0) return false;
    if (!r.u32(&version) || version != kVersion) return false;
    if (!r.u32(&h.iterations) || h.iterations == 0 || h.iterations > kMaxIterations) return false;
    if (!r.bytes(h.salt, kSaltLength) || !r.bytes(h.wrapIv, kIvLength) || !r.bytes(h.wrappedKey, kKeyLength) ||
        !r.bytes(h.wrapTag, kTagLength) || !r.u64(&out->nextId))
        return false;
    NRVValue metadata;
    if (!decodeValue(r, &metadata, 0) || !metadata.isDictionary()) return false;
    out->metadata = std::move(*metadata.asDictionary());
    std::uint32_t count = 0;
    if (!r.u32(&count) || count > r.remaining()) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        StoredItem stored;
        std::uint32_t itemClass = 0;
        std::uint8_t hasSecret = 0;
        NRVValue attributes;
        if (!r.u32(&itemClass) || !knownClass(itemClass) || !r.u64(&stored.item.id)) return false;
        if (stored.item.id == 0 || stored.item.id >= out->nextId || out->items.count(stored.item.id)) return false;
        if (!decodeValue(r, &attributes, 0) || !attributes.isDictionary() || !r.u8(&hasSecret) || hasSecret > 1)
            return false;
        stored.item.itemClass = static_cast<ItemClass>(itemClass);
        stored.item.attributes = std::move(*attributes.asDictionary());
        stored.item.hasSecret = hasSecret == 1;
        if (stored.item.hasSecret) {
            std::span<const std::uint8_t> cipher;
            if (!r.bytes(stored.iv, kIvLength) || !readBlob(r, &cipher) || !r.bytes(stored.tag, kTagLength)) return false;
            stored.cipher.assign(cipher.begin(), cipher.end());
        }
        indexItem(*out, stored.item);
        std::uint64_t id = stored.item.id;
        out->items.emplace(id, std::move(stored));
    }
    return r.atEnd();
}

}  // namespace platform::keychain::detail
