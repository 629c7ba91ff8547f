#include "foundation/NRVCacheManager.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/NRVQueueMonitor.h"
#include "foundation/NerovaLogger.h"
#include "platform/fs/FileManager.h"
#include "platform/plist/PropertyList.h"
#include "platform/process/ProcessInfo.h"
#include "platform/thread/Mutex.h"

namespace dispatch = platform::dispatch;
namespace fs = platform::fs;

namespace {

const NRVLogHandle& log() { return NerovaLogger::cache(); }

constexpr const char* kRootKey = "root";
// An unbounded cache sweeps expired entries when it has doubled since the
// last sweep (and from this size on), so that an update costs the same at
// any size instead of a pass over every entry.
constexpr std::size_t kMinSweepSize = 64;

using Clock = std::chrono::steady_clock;

std::string seconds(Clock::time_point since) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%f", std::chrono::duration<double>(Clock::now() - since).count());
    return buf;
}

std::string label(const char* format, const std::string& name) {
    std::string out = format;
    const auto at = out.find("%@");
    if (at != std::string::npos) out.replace(at, 2, name);
    return out;
}

using Snapshot = std::vector<std::pair<std::string, NRVCacheEntryRef>>;

}  // namespace

struct NRVCacheManager::State : std::enable_shared_from_this<State> {
    std::optional<std::string> cacheFile;
    std::shared_ptr<dispatch::DispatchQueue> taskQueue, statQueue, writeQueue;
    NRVCacheEntryDecoder decoder;
    std::uint64_t maxCacheItems = 0;
    std::uint64_t flushInterval = 0;
    std::atomic<bool> needToSync{false};
    std::atomic<bool> needToWrite{false};
    // Cleared by the destructor: the flush timer stops at its next round.
    std::atomic<bool> alive{true};

    mutable platform::Mutex handlerMutex;
    std::shared_ptr<NRVCacheManagerStatProtocol> statHandler GUARDED_BY(handlerMutex);

    // Owned by taskQueue: read in plain blocks, changed only in barrier blocks.
    std::unordered_map<std::string, NRVCacheEntryRef> cache;
    std::uint64_t version = 0;  // counts changes; tells archives apart by age
    std::size_t nextSweepAt = kMinSweepSize;

    // Owned by writeMutex: the age of the newest archive on disk.
    platform::Mutex writeMutex;
    std::optional<std::uint64_t> writtenVersion GUARDED_BY(writeMutex);

    State(const std::string& name, std::uint64_t maxItems) {
        taskQueue = dispatch::DispatchQueue::createConcurrent(label(kTaskQueueLabelFormat, name));
        statQueue = dispatch::DispatchQueue::createSerial(label(kStatQueueLabelFormat, name));
        NRVQueueMonitor::monitorDispatchQueue(taskQueue);
        NRVQueueMonitor::monitorDispatchQueue(statQueue);
        maxCacheItems = maxItems < 5 ? 0 : maxItems;
    }

    void markChanged() {
        ++version;
        needToSync = true;
    }

    // --- statistics -------------------------------------------------------

    void send(void (NRVCacheManagerStatProtocol::*call)()) {
        std::shared_ptr<NRVCacheManagerStatProtocol> handler;
        {
            platform::MutexLock lock(handlerMutex);
            handler = statHandler;
        }
        if (!handler) return;
        statQueue->async([handler, call] { ((*handler).*call)(); });
    }

    // --- changes (barrier blocks on taskQueue) ------------------------------

    void cleanExpiredCacheData() {
        const auto started = Clock::now();
        log().log("Cleaning expired cache data from cache.");
        std::vector<std::string> expired;
        for (const auto& [key, entry] : cache)
            if (entry->expired()) expired.push_back(key);
        for (const auto& key : expired) cache.erase(key);
        if (!expired.empty()) markChanged();
        log().log("Found " + std::to_string(expired.size()) + " item(s) to clean and removed. (" + seconds(started) +
                  " s)");
    }

    void trimCacheToMax(std::uint64_t maximum) {
        const auto started = Clock::now();
        log().log("Trimming cache to " + std::to_string(maximum));
        if (cache.size() <= maximum) return;
        Snapshot ordered(cache.begin(), cache.end());
        std::stable_sort(ordered.begin(), ordered.end(),
                         [](const auto& a, const auto& b) { return a.second->compare(*b.second) < 0; });
        const std::size_t surplus = cache.size() - static_cast<std::size_t>(maximum);
        for (std::size_t i = 0; i < surplus; ++i) {
            cache.erase(ordered[i].first);
            log().log("Cached key '" + ordered[i].first + "' is removed due to trim.");
        }
        markChanged();
        log().log("Trimmming finished. (" + seconds(started) + " s)");
    }

    void cleanCacheRecord() {
        if (maxCacheItems == 0) {
            if (cache.size() < nextSweepAt) return;
            cleanExpiredCacheData();
            nextSweepAt = std::max(kMinSweepSize, 2 * cache.size());
            return;
        }
        if (cache.size() >= maxCacheItems) {
            cleanExpiredCacheData();
            trimCacheToMax(maxCacheItems - 5);
        }
    }

    // --- the archive file ---------------------------------------------------

    static void createDirectoryIfNotExists(const std::string& path) {
        if (fs::itemExists(path)) return;
        log().log("Create a directory '" + path + "' since it's not found.");
        platform::Error error;
        if (!fs::createDirectory(path, true, &error))
            log().error("Failed to create directory '" + path + "'. Error: " + error.description);
    }

    static std::optional<std::string> archive(const Snapshot& snapshot) {
        NRVDictionary entries;
        for (const auto& [key, entry] : snapshot) entries.set(key, entry->encode());
        NRVDictionary root;
        root.set(kRootKey, NRVValue(std::move(entries)));
        return platform::plist::serialize(NRVValue(std::move(root)), platform::plist::Format::Binary);
    }

    enum class WriteResult { Written, Failed, Superseded };

    // Writes the snapshot taken at `taken` unless a newer one is on disk.
    // Entries are encoded before the lock is taken, so a slow encoder holds
    // up only its own write.
    WriteResult writeArchive(const Snapshot& snapshot, std::uint64_t taken) {
        auto bytes = archive(snapshot);
        platform::MutexLock lock(writeMutex);
        if (writtenVersion && taken < *writtenVersion) return WriteResult::Superseded;
        const std::string& path = *cacheFile;
        const std::string folder = fs::deletingLastPathComponent(path);
        createDirectoryIfNotExists(folder);
        // Never write through a folder that was swapped for a link.
        auto attributes = fs::attributesOfItem(folder);
        if (!attributes || attributes->type != fs::ItemAttributes::Type::Directory) return WriteResult::Failed;
        if (!bytes || !fs::writeFileAtomicallyWithPermissions(path, *bytes, kFilePermissions))
            return WriteResult::Failed;
        writtenVersion = taken;
        return WriteResult::Written;
    }

    // A plain block on taskQueue: the dictionary does not change meanwhile.
    void flushCacheToDisk() {
        if (!needToSync || !needToWrite) return;
        const auto started = Clock::now();
        Snapshot snapshot(cache.begin(), cache.end());
        const std::uint64_t taken = version;
        log().log("Archiving cache data (" + std::to_string(snapshot.size()) + " item(s)) into file '" + *cacheFile +
                  "'.");
        writeQueue->async([self = shared_from_this(), snapshot = std::move(snapshot), taken, started] {
            switch (self->writeArchive(snapshot, taken)) {
                case WriteResult::Superseded:
                    return;
                case WriteResult::Failed:
                    // needToSync stays set: the next round tries again.
                    log().error("Failed to write cache data to file '" + *self->cacheFile + "'");
                    return;
                case WriteResult::Written:
                    break;
            }
            log().log("Successfully write cache data to file '" + *self->cacheFile + "'. (" + seconds(started) + " s)");
            // A change made while the file was written keeps the flag for the next round.
            self->taskQueue->asyncBarrier([self, taken] {
                if (self->version == taken) self->needToSync = false;
                self->send(&NRVCacheManagerStatProtocol::cacheFlushedToDisk);
            });
        });
    }

    void flushCacheToDiskForEveryInterval() {
        flushCacheToDisk();
        std::weak_ptr<State> weak = shared_from_this();
        const auto delay = static_cast<std::int64_t>(flushInterval) * dispatch::NSEC_PER_SEC;
        taskQueue->after(dispatch::dispatchTime(dispatch::DISPATCH_TIME_NOW, delay), [weak] {
            auto self = weak.lock();
            if (self && self->alive) self->flushCacheToDiskForEveryInterval();
        });
    }

    // A barrier block on taskQueue.
    void loadCacheFromFile(const std::string& path) {
        const auto started = Clock::now();
        log().log("Load cache data from file '" + path + "'.");
        if (!verifyCachePath(path)) return;

        // The file checked is the file read: owner and mode are judged on the
        // opened descriptor, and a link at the path is refused.
        const std::uint32_t uid = platform::process::realUserID();
        bool refused = false;
        fs::FileIdentity identity;
        platform::Error error;
        auto bytes = fs::readFileWithoutLinks(
            path,
            [uid](const fs::ItemAttributes& a) { return a.ownerID == uid && a.permissions == kFilePermissions; },
            &refused, &identity, &error, kMaxArchiveSize);
        if (!bytes) {
            if (!refused)
                log().error("Failed to verify cache file '" + path + "'. Error: " + error.description);
            return;
        }

        platform::Error why;
        auto value = platform::plist::readData(*bytes, &why);
        if (!value) {
            log().error("Failed to unarchive file '" + path + ", try to remove it'. Exception: " + why.description);
            // Only the very file that was read, and only as a regular file.
            if (!fs::removeRegularFile(path, identity, &error))
                log().error("Failed to remove cache file '" + path + "'. Exception: " + error.description);
            return;
        }
        auto loaded = decode(*value);
        if (!loaded) {
            log().error("Loaded cache data isn't correct.");
            return;
        }
        cache = std::move(*loaded);
        cleanExpiredCacheData();
        log().log("Load cache data successfully. Total number of items: " + std::to_string(cache.size()) + ". (" +
                  seconds(started) + " s)");
    }

    std::optional<std::unordered_map<std::string, NRVCacheEntryRef>> decode(const NRVValue& archived) const {
        const NRVValue* root = archived[kRootKey];
        const NRVDictionary* entries = root ? root->asDictionary() : nullptr;
        if (!entries || !decoder) return std::nullopt;
        std::unordered_map<std::string, NRVCacheEntryRef> out;
        out.reserve(entries->size());
        for (std::size_t i = 0; i < entries->size(); ++i) {
            auto entry = decoder(entries->valueAt(i));
            if (!entry) return std::nullopt;
            out.emplace(entries->keyAt(i), std::move(entry));
        }
        return out;
    }
};

NRVCacheManager::NRVCacheManager(const std::string& name, const std::string& cacheFile, std::uint64_t syncInterval,
                                 std::uint64_t maxItems, NRVCacheEntryDecoder decoder)
    : state_(std::make_shared<State>(name, maxItems)) {
    state_->cacheFile = cacheFile;
    state_->decoder = std::move(decoder);
    state_->writeQueue = dispatch::DispatchQueue::createSerial(label(kTaskQueueLabelFormat, name) + ".write");
    state_->needToWrite = true;
    state_->flushInterval = syncInterval > 1 ? syncInterval : 1;
    // Nothing has changed yet, so this only arms the timer.
    state_->flushCacheToDiskForEveryInterval();
    state_->taskQueue->asyncBarrier([state = state_, cacheFile] { state->loadCacheFromFile(cacheFile); });
}

NRVCacheManager::NRVCacheManager(const std::string& name, std::uint64_t maxItems)
    : state_(std::make_shared<State>(name, maxItems)) {}

NRVCacheManager::~NRVCacheManager() {
    state_->alive = false;
    setStatHandler(nullptr);
    if (!state_->cacheFile) return;
    // Waits for every change made before, so the final archive is the newest
    // state; written here, before the object is gone.
    Snapshot snapshot;
    std::uint64_t taken = 0;
    state_->taskQueue->syncBarrier([&] {
        snapshot.assign(state_->cache.begin(), state_->cache.end());
        taken = state_->version;
    });
    const auto started = Clock::now();
    log().log("Final archiving cache data (" + std::to_string(snapshot.size()) + " item(s)) into file '" +
              *state_->cacheFile + "'.");
    const bool success = state_->writeArchive(snapshot, taken) == State::WriteResult::Written;
    log().log("Finished writing cache content into file. success: " + std::to_string(success ? 1 : 0) + " (" +
              seconds(started) + " s)");
}

NRVCacheEntryRef NRVCacheManager::cacheDataForKey(const std::string& key) {
    NRVCacheEntryRef found;
    bool expired = false;
    state_->taskQueue->sync([&] {
        auto it = state_->cache.find(key);
        if (it == state_->cache.end()) return;
        found = it->second;
        expired = found->expired();
    });
    if (!found) {
        state_->send(&NRVCacheManagerStatProtocol::cacheMissed);
        return nullptr;
    }
    if (expired) {
        state_->taskQueue->asyncBarrier([state = state_, key, found] {
            log().log("Found a item for the key '" + key + "', but it's expired.");
            // Only the entry found expired: a fresh one stored under the key
            // since then stays.
            auto it = state->cache.find(key);
            if (it != state->cache.end() && it->second == found) {
                state->cache.erase(it);
                state->markChanged();
            }
        });
        state_->send(&NRVCacheManagerStatProtocol::cacheMissedExpired);
        return nullptr;
    }
    state_->send(&NRVCacheManagerStatProtocol::cacheHit);
    return found;
}

void NRVCacheManager::updateCacheData(NRVCacheEntryRef data, const std::optional<std::string>& forKey) {
    if (!forKey) return;
    state_->taskQueue->asyncBarrier([state = state_, data = std::move(data), key = *forKey]() mutable {
        state->cleanCacheRecord();
        if (data)
            state->cache.insert_or_assign(std::move(key), std::move(data));
        else
            state->cache.erase(key);
        state->markChanged();
    });
}

void NRVCacheManager::removeCacheDataForKey(const std::string& key) {
    state_->taskQueue->asyncBarrier([state = state_, key] {
        if (state->cache.erase(key) > 0) state->markChanged();
    });
}

void NRVCacheManager::writeCacheFromContent(std::string content, const std::string& toFile,
                                            std::function<void(bool)> withCompletion) {
    dispatch::DispatchQueue::global()->async(
        [content = std::move(content), toFile, withCompletion = std::move(withCompletion)] {
            const bool ok = fs::writeFileAtomicallyWithPermissions(toFile, content, kFilePermissions);
            if (withCompletion) withCompletion(ok);
        });
}

bool NRVCacheManager::verifyCachePath(const std::string& path) {
    const std::uint32_t uid = platform::process::realUserID();
    const std::string folder = fs::deletingLastPathComponent(path);
    log().log("Verifying cache directory '" + folder + "'.");
    platform::Error error;
    auto folderAttributes = fs::attributesOfItem(folder, &error);
    if (!folderAttributes) {
        // Nothing is removed: a folder that cannot be examined may not be ours.
        log().error("Failed to verify cache directory '" + folder + "'. Error: " + error.description);
        return false;
    }
    if (folderAttributes->type != fs::ItemAttributes::Type::Directory || folderAttributes->ownerID != uid ||
        folderAttributes->permissions != kDirectoryPermissions)
        return false;

    log().log("Verifying cache path '" + path + "'.");
    auto fileAttributes = fs::attributesOfItem(path, &error);
    if (!fileAttributes) {
        log().error("Failed to verify cache file '" + path + "'. Error: " + error.description);
        return false;
    }
    return fileAttributes->type == fs::ItemAttributes::Type::Regular && fileAttributes->ownerID == uid &&
           fileAttributes->permissions == kFilePermissions;
}

bool NRVCacheManager::needToSync() const { return state_->needToSync; }
bool NRVCacheManager::needToWrite() const { return state_->needToWrite; }

std::shared_ptr<NRVCacheManagerStatProtocol> NRVCacheManager::statHandler() const {
    platform::MutexLock lock(state_->handlerMutex);
    return state_->statHandler;
}

void NRVCacheManager::setStatHandler(std::shared_ptr<NRVCacheManagerStatProtocol> handler) {
    platform::MutexLock lock(state_->handlerMutex);
    state_->statHandler = std::move(handler);
}

const std::optional<std::string>& NRVCacheManager::cacheFile() const { return state_->cacheFile; }
const std::shared_ptr<dispatch::DispatchQueue>& NRVCacheManager::taskQueue() const { return state_->taskQueue; }
const std::shared_ptr<dispatch::DispatchQueue>& NRVCacheManager::statQueue() const { return state_->statQueue; }

std::map<std::string, NRVCacheEntryRef> NRVCacheManager::cache() const {
    std::map<std::string, NRVCacheEntryRef> copy;
    state_->taskQueue->sync([&] { copy.insert(state_->cache.begin(), state_->cache.end()); });
    return copy;
}

std::uint64_t NRVCacheManager::maxCacheItems() const { return state_->maxCacheItems; }
std::uint64_t NRVCacheManager::flushInterval() const { return state_->flushInterval; }
