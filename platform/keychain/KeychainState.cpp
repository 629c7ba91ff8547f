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

Status loadFrom(int fd, Keychain::State& s) {
    Identity identity;
    if (!identityOfDescriptor(fd, &identity)) return status::io;
    if (s.loaded && s.identity == identity) return status::success;
    std::vector<std::uint8_t> bytes;
    if (Status rc = readWhole(fd, &bytes); rc != status::success) {
        s.loaded = false;
        return rc;
    }
    Keychain::State fresh;
    if (!parseFile(bytes, &fresh)) {
        s.loaded = false;
        return status::invalidKeychain;
    }
    if (!s.masterKey.empty() && s.header.sameWrapping(fresh.header)) {
        if (!fileTagMatches(fresh, s.masterKey)) {
            s.loaded = false;
            return status::invalidKeychain;
        }
        fresh.masterKey = std::move(s.masterKey);
        fresh.passwordCheck = std::move(s.passwordCheck);
    }
    fresh.identity = identity;
    fresh.loaded = true;
    s = std::move(fresh);
    return status::success;
}

Status refresh(const std::string& path, Keychain::State& s) {
    Identity identity;
    if (Status rc = identityAtPath(path, &identity); rc != status::success) {
        s.loaded = false;
        return rc;
    }
    if (s.loaded && s.identity == identity) return status::success;
    ScopedFD fd;
    if (Status rc = openForReading(path, &fd); rc != status::success) {
        s.loaded = false;
        return rc;
    }
    return loadFrom(fd.get(), s);
}

Status writeTemporary(const std::string& path, Keychain::State& s, std::string* tempPath, ScopedFD* tempFD) {
    return writeTemporaryFile(path, serializeFile(s), tempPath, tempFD);
}

bool takeIdentity(int fd, Keychain::State& s) { return identityOfDescriptor(fd, &s.identity); }

}  // namespace platform::keychain::detail
