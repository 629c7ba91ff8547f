// What one Keychain object knows of its file: the parsed contents, the
// attribute index, and the master key while unlocked. Not part of the layer's
// interface.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

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

std::string indexKey(ItemClass itemClass, const std::string& tag, const NRVValue& value);
void indexItem(Keychain::State& s, const Item& item);
void unindexItem(Keychain::State& s, const Item& item);

}  // namespace detail

}  // namespace platform::keychain
