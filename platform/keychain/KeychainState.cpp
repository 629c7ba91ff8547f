#include "platform/keychain/KeychainState.h"

#include "platform/keychain/KeychainValueCodec.h"

namespace platform::keychain::detail {

std::string indexKey(ItemClass itemClass, const std::string& tag, const NRVValue& value) {
    std::vector<std::uint8_t> bytes;
    LittleEndianWriter w(bytes);
    w.u32(static_cast<std::uint32_t>(itemClass));
    w.bytes(tag.data(), tag.size());
    w.u8(0);
    encodeValue(w, value);
    return std::string(bytes.begin(), bytes.end());
}

void indexItem(Keychain::State& s, const Item& item) {
    for (std::size_t i = 0; i < item.attributes.size(); ++i)
        s.index.emplace(indexKey(item.itemClass, item.attributes.keyAt(i), item.attributes.valueAt(i)), item.id);
}

void unindexItem(Keychain::State& s, const Item& item) {
    for (std::size_t i = 0; i < item.attributes.size(); ++i) {
        auto range = s.index.equal_range(indexKey(item.itemClass, item.attributes.keyAt(i), item.attributes.valueAt(i)));
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == item.id) {
                s.index.erase(it);
                break;
            }
        }
    }
}

bool loadFrom(int fd, Keychain::State& s, platform::Error* error) {
    Identity identity;
    if (!identityOfDescriptor(fd, &identity, error)) return false;
    if (s.loaded && s.identity == identity) return true;
    std::vector<std::uint8_t> bytes;
    if (!readWhole(fd, &bytes, error)) {
        s.loaded = false;
        return false;
    }
    Keychain::State fresh;
    if (!parseFile(bytes, &fresh)) {
        s.loaded = false;
        return fail(error, status::invalidKeychain);
    }
    if (!s.masterKey.empty() && s.header.sameWrapping(fresh.header)) {
        if (!fileTagMatches(fresh, s.masterKey)) {
            s.loaded = false;
            return fail(error, status::invalidKeychain);
        }
        fresh.masterKey = std::move(s.masterKey);
        fresh.passwordCheck = std::move(s.passwordCheck);
    }
    fresh.identity = identity;
    fresh.loaded = true;
    s = std::move(fresh);
    return true;
}

bool refresh(const std::string& path, Keychain::State& s, platform::Error* error) {
    Identity identity;
    if (!identityAtPath(path, &identity, error)) {
        s.loaded = false;
        return false;
    }
    if (s.loaded && s.identity == identity) return true;
    ScopedFD fd;
    if (!openForReading(path, &fd, error)) {
        s.loaded = false;
        return false;
    }
    return loadFrom(fd.get(), s, error);
}

bool writeTemporary(const std::string& path, Keychain::State& s, std::string* tempPath, ScopedFD* tempFD,
                    platform::Error* error) {
    return writeTemporaryFile(path, serializeFile(s), tempPath, tempFD, error);
}

bool takeIdentity(int fd, Keychain::State& s) { return identityOfDescriptor(fd, &s.identity); }

}  // namespace platform::keychain::detail
