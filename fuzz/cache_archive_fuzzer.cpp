// Feeds arbitrary bytes as the cache manager's archive, which it reads back
// at start from a file of its own: the property-list reader, the archive's
// shape and the entries' decoder. Every entry that loads can be looked up.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/NRVCacheManager.h"
#include "fuzz/FuzzSupport.h"
#include "platform/fs/FileManager.h"
#include "platform/plist/PropertyList.h"

namespace {

// An entry with a text and a rank, as a cache's own entry kind would be.
class FuzzEntry final : public NRVCacheEntry {
public:
    FuzzEntry(std::string text, std::int64_t rank) : text_(std::move(text)), rank_(rank) {}
    bool expired() const override { return rank_ < 0; }
    int compare(const NRVCacheEntry& other) const override {
        const std::int64_t r = static_cast<const FuzzEntry&>(other).rank_;
        return rank_ < r ? -1 : rank_ > r ? 1 : 0;
    }
    NRVValue encode() const override {
        NRVDictionary d;
        d.set("text", text_);
        d.set("rank", rank_);
        return NRVValue(std::move(d));
    }
    static NRVCacheEntryRef decode(const NRVValue& v) {
        const NRVValue* text = v["text"];
        const NRVValue* rank = v["rank"];
        if (!text || !text->asString() || !rank || !rank->asInteger()) return nullptr;
        return std::make_shared<FuzzEntry>(*text->asString(), *rank->asInteger());
    }

private:
    std::string text_;
    std::int64_t rank_;
};

const std::string& cacheFolder() {
    static const std::string folder = [] {
        std::string f = fuzz::scratchFolder() + "/cache";
        platform::fs::AttributeChange mode;
        mode.permissions = NRVCacheManager::kDirectoryPermissions;
        if (!platform::fs::createDirectory(f, false) || !platform::fs::setAttributes(f, mode)) std::abort();
        fuzz::discardLogs();
        return f;
    }();
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = cacheFolder() + "/fuzz.cache";
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    fuzz::replaceFile(path, bytes, NRVCacheManager::kFilePermissions);
    {
        // A long interval: the archive is written back only when the manager ends.
        NRVCacheManager cache("fuzz", path, 3600, 10, &FuzzEntry::decode);
        auto archived = platform::plist::readData(bytes);
        const NRVValue* root = archived ? (*archived)["root"] : nullptr;
        if (const NRVDictionary* entries = root ? root->asDictionary() : nullptr) {
            for (std::size_t i = 0; i < entries->size() && i < 64; ++i) (void)cache.cacheDataForKey(entries->keyAt(i));
        }
    }
    return 0;
}
