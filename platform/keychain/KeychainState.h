// What one Keychain object knows of its file: the parsed contents, the
// attribute index, and the master key while unlocked. Not part of the layer's
// interface.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include "platform/fd/ScopedFD.h"
#include "platform/keychain/Keychain.h"
#include "platform/keychain/KeychainFile.h"
#include "platform/keychain/KeychainFormat.h"

namespace platform::keychain {

struct Keychain::State {
    bool loaded = false;
    detail::Identity identity;
    detail::Header header;
    std::uint64_t nextId = 1;
    NRVDictionary metadata;
    std::map<std::uint64_t, detail::StoredItem> items;
    // (class, tag, encoded value) -> item ids, for every attribute of every item.
    std::unordered_multimap<std::string, std::uint64_t> index;
    std::uint8_t checksum[detail::kDigestLength] = {};
    std::uint8_t mac[detail::kDigestLength] = {};
    SecureBytes masterKey;     // empty while locked
    SecureBytes passwordCheck;  // tag of the password that unlocked it

    void reset() {
        loaded = false;
        identity = {};
        header = {};
        nextId = 1;
        metadata = {};
        items.clear();
        index.clear();
        masterKey.clear();
        passwordCheck.clear();
    }
};

namespace detail {

// The index key of one attribute value of an item of the class.
std::string indexKey(ItemClass itemClass, const std::string& tag, const NRVValue& value);
void indexItem(Keychain::State& s, const Item& item);
void unindexItem(Keychain::State& s, const Item& item);

// Loads the open file into the state unless it is the one already loaded.
// Keeps the master key when the file was wrapped the same way and its tag
// checks out; a file with a failing tag is refused.
bool loadFrom(int fd, Keychain::State& s, platform::Error* error);
// Brings the state up to date with the file at the path, reading it only
// when it changed.
bool refresh(const std::string& path, Keychain::State& s, platform::Error* error);
// Writes the state, with a new checksum and tag, into a temporary file beside
// `path` (see writeTemporaryFile).
bool writeTemporary(const std::string& path, Keychain::State& s, std::string* tempPath, ScopedFD* tempFD,
                    platform::Error* error);
// Records the open file as the one the state holds; false when its identity
// cannot be had.
bool takeIdentity(int fd, Keychain::State& s);

}  // namespace detail

}  // namespace platform::keychain
