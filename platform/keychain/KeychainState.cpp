#include "platform/keychain/KeychainState.h"

#include "platform/keychain/KeychainValueCodec.h"

namespace platform::keychain::detail {

std::string indexKey(ItemClass itemClass, const std::string& tag, const NRVValue& value) {
    Writer w;
    w.u32(static_cast<std::uint32_t>(itemClass));
    w.raw(tag.data(), tag.size());
    w.u8(0);
    encodeValue(w, value);
    return std::string(w.bytes.begin(), w.bytes.end());
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

}  // namespace platform::keychain::detail
