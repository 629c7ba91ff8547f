// A named key/value cache: entries that know when they have expired, an
// optional bound on their number, and, for a file-backed cache, an archive
// file written every flush interval and once more, synchronously, when the
// cache is destroyed. Optional hit/miss statistics go to a handler object.
//
// The archive is a binary property list {"root": {key: entry}} with each
// entry as its encode() wrote it. It is loaded only from a folder with mode
// 0755 and a file with mode 0644, both owned by the process's real user, and
// the file's owner and mode are checked on the opened file (never through a
// link). A file of ours that does not parse is removed; nothing else is ever
// removed: not a folder, not a link, not a file we cannot examine.
//
// Threading: every public function may be called from any thread; the
// destructor must not run inside a block on taskQueue (it waits on it).
// Look-ups run concurrently on taskQueue and wait for their answer; every
// change (update, removal, expiry removal, load) is a barrier block on
// taskQueue, so it runs alone and later look-ups see it. Updates and removals
// return at once. Archives are written in the order they were taken on a
// serial write queue, and an archive older than one already written is
// skipped, so an older state never replaces a newer one on disk. The
// destructor waits for earlier changes, then writes the final archive before
// it returns. Statistics calls are delivered on statQueue in the order sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/value/NRVValue.h"

// What the cache needs of an entry. Entries are immutable once stored.
class NRVCacheEntry {
public:
    virtual ~NRVCacheEntry() = default;
    // true once the entry must no longer be served.
    virtual bool expired() const = 0;
    // Negative, zero or positive as this entry orders before, with or after
    // `other`; the lowest entries are dropped first when the cache is trimmed.
    virtual int compare(const NRVCacheEntry& other) const = 0;
    // The entry as property-list values, for the archive file.
    virtual NRVValue encode() const = 0;
};
using NRVCacheEntryRef = std::shared_ptr<const NRVCacheEntry>;
// Makes an entry back from what encode() wrote; nullptr for a value it does
// not accept (the whole archive is then ignored).
using NRVCacheEntryDecoder = std::function<NRVCacheEntryRef(const NRVValue&)>;

// Receiver of the statistics; every call is optional.
class NRVCacheManagerStatProtocol {
public:
    virtual ~NRVCacheManagerStatProtocol() = default;
    virtual void cacheHit() {}
    virtual void cacheMissed() {}
    virtual void cacheMissedExpired() {}
    virtual void cacheFlushedToDisk() {}
};

class NRVCacheManager {
public:
    static constexpr const char* kTaskQueueLabelFormat = "com.nerova.eventmonitor.cachemanager.%@.taskQueue";
    static constexpr const char* kStatQueueLabelFormat = "com.nerova.eventmonitor.cachemanager.%@.statQueue";
    static constexpr unsigned kDirectoryPermissions = 0755;
    static constexpr unsigned kFilePermissions = 0644;
    // Largest archive that is read back.
    static constexpr std::uint64_t kMaxArchiveSize = 64ull << 20;

    // File-backed: loads `cacheFile` asynchronously right away and flushes
    // every `syncInterval` seconds (at least 1). A `maxItems` below 5 means no
    // bound.
    NRVCacheManager(const std::string& name, const std::string& cacheFile, std::uint64_t syncInterval,
                    std::uint64_t maxItems, NRVCacheEntryDecoder decoder);
    // Memory-only: no file, no timer, nothing loaded or written.
    NRVCacheManager(const std::string& name, std::uint64_t maxItems);
    ~NRVCacheManager();
    NRVCacheManager(const NRVCacheManager&) = delete;
    NRVCacheManager& operator=(const NRVCacheManager&) = delete;

    // The live entry for the key, or nullptr; an expired entry is answered as
    // nullptr once and removed.
    NRVCacheEntryRef cacheDataForKey(const std::string& key);
    // Stores an entry (nullptr removes the key); no key does nothing.
    void updateCacheData(NRVCacheEntryRef data, const std::optional<std::string>& forKey);
    void removeCacheDataForKey(const std::string& key);

    // Writes `content` atomically (mode 0644) on a global queue and calls
    // the completion there with the result.
    static void writeCacheFromContent(std::string content, const std::string& toFile,
                                      std::function<void(bool)> withCompletion);
    // Whether the folder of `path` and the file itself have the owner and
    // modes a cache archive must have. Removes nothing.
    static bool verifyCachePath(const std::string& path);

    bool needToSync() const;
    bool needToWrite() const;
    std::shared_ptr<NRVCacheManagerStatProtocol> statHandler() const;
    void setStatHandler(std::shared_ptr<NRVCacheManagerStatProtocol> handler);
    const std::optional<std::string>& cacheFile() const;
    const std::shared_ptr<platform::dispatch::DispatchQueue>& taskQueue() const;
    const std::shared_ptr<platform::dispatch::DispatchQueue>& statQueue() const;
    // A copy of the dictionary as it is once earlier changes have run.
    std::map<std::string, NRVCacheEntryRef> cache() const;
    std::uint64_t maxCacheItems() const;
    std::uint64_t flushInterval() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};
