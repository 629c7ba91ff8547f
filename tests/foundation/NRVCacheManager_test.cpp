#include "foundation/NRVCacheManager.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "platform/log/LogStore.h"
#include "platform/plist/PropertyList.h"
#include "support/Events.h"
#include "support/TestSupport.h"

namespace plog = platform::log;
namespace stdfs = std::filesystem;

namespace {

// A value with a rank (trim order) and a fixed expiry state.
class TestEntry : public NRVCacheEntry {
public:
    TestEntry(std::string value, int rank, bool expired = false)
        : value_(std::move(value)), rank_(rank), expired_(expired) {}
    bool expired() const override { return expired_; }
    int compare(const NRVCacheEntry& other) const override {
        const int r = static_cast<const TestEntry&>(other).rank_;
        return rank_ < r ? -1 : rank_ > r ? 1 : 0;
    }
    NRVValue encode() const override {
        NRVDictionary d;
        d.set("value", value_);
        d.set("rank", rank_);
        d.set("expired", expired_);
        return NRVValue(std::move(d));
    }
    const std::string& value() const { return value_; }

    static NRVCacheEntryRef decode(const NRVValue& v) {
        const NRVValue* value = v["value"];
        const NRVValue* rank = v["rank"];
        const NRVValue* expired = v["expired"];
        if (!value || !value->asString() || !rank || !rank->asInteger() || !expired || !expired->asBool()) return nullptr;
        return std::make_shared<TestEntry>(*value->asString(), static_cast<int>(*rank->asInteger()), *expired->asBool());
    }

protected:
    std::string value_;
    int rank_;
    bool expired_;
};

NRVCacheEntryRef entry(const std::string& value, int rank = 0, bool expired = false) {
    return std::make_shared<TestEntry>(value, rank, expired);
}

std::string valueOf(const NRVCacheEntryRef& e) { return e ? static_cast<const TestEntry&>(*e).value() : "<nil>"; }

class RecordingStats : public NRVCacheManagerStatProtocol {
public:
    void cacheHit() override { add("hit"); }
    void cacheMissed() override { add("missed"); }
    void cacheMissedExpired() override { add("missedExpired"); }
    void cacheFlushedToDisk() override {
        add("flushed");
        flushed.notify_all();
    }
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded;
    }
    bool waitForFlush(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex);
        return flushed.wait_for(lock, limit, [&] {
            return std::find(recorded.begin(), recorded.end(), "flushed") != recorded.end();
        });
    }

private:
    void add(const char* name) {
        std::lock_guard<std::mutex> lock(mutex);
        recorded.push_back(name);
    }
    std::mutex mutex;
    std::condition_variable flushed;
    std::vector<std::string> recorded;
};

class CacheManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        plog::setSink(capture_);
        folder_ = dir_ / "caches";
        ::mkdir(folder_.c_str(), 0755);
        ::chmod(folder_.c_str(), 0755);  // whatever the umask says
        file_ = folder_ + "/test.cache";
    }
    void TearDown() override { plog::setSink(nullptr); }

    bool logged(const std::string& text) const {
        for (const auto& r : capture_->records())
            if (r.category == "cache" && r.message.find(text) != std::string::npos) return true;
        return false;
    }

    // An archive as the cache writes it, made by a cache of its own.
    void writeArchive(const std::string& path, std::vector<std::pair<std::string, NRVCacheEntryRef>> entries) {
        NRVCacheManager writer("writer", path, 3600, 0, TestEntry::decode);
        for (auto& [key, value] : entries) writer.updateCacheData(value, key);
    }

    std::unique_ptr<NRVCacheManager> fileCache(std::uint64_t interval = 3600, std::uint64_t maxItems = 0) {
        return std::make_unique<NRVCacheManager>("test", file_, interval, maxItems, TestEntry::decode);
    }

    std::shared_ptr<plog::CaptureSink> capture_ = std::make_shared<plog::CaptureSink>();
    testsupport::TempDir dir_;
    std::string folder_, file_;
};

TEST_F(CacheManagerTest, BoundsAndIntervalsFromTheInitialisers) {
    struct Case {
        const char* name;
        std::uint64_t maxItems, syncInterval, expectedMax, expectedInterval;
    } cases[] = {
        {"4 means no bound, 0 s means 1 s", 4, 0, 0, 1},
        {"5 is a bound of 5, 1 s stays", 5, 1, 5, 1},
        {"1000 stays, 7 s stays", 1000, 7, 1000, 7},
    };
    for (const auto& c : cases) {
        NRVCacheManager cache("bounds", file_, c.syncInterval, c.maxItems, TestEntry::decode);
        EXPECT_EQ(cache.maxCacheItems(), c.expectedMax) << c.name;
        EXPECT_EQ(cache.flushInterval(), c.expectedInterval) << c.name;
        EXPECT_TRUE(cache.needToWrite()) << c.name;
        EXPECT_EQ(cache.taskQueue()->label(), "com.nerova.eventmonitor.cachemanager.bounds.taskQueue");
        EXPECT_EQ(cache.statQueue()->label(), "com.nerova.eventmonitor.cachemanager.bounds.statQueue");
    }
    NRVCacheManager memory("memory", 3);
    EXPECT_EQ(memory.maxCacheItems(), 0u);
    EXPECT_EQ(memory.flushInterval(), 0u);
    EXPECT_FALSE(memory.needToWrite());
    EXPECT_FALSE(memory.cacheFile());
}

TEST_F(CacheManagerTest, UpdatesTrimTheLowestEntriesOnceTheBoundIsReached) {
    struct Case {
        const char* name;
        std::uint64_t maxItems;
        int live;
        std::vector<std::string> expectedKeys;  // after one more update with key "new"
    } cases[] = {
        {"no bound keeps all", 4, 6, {"k0", "k1", "k2", "k3", "k4", "k5", "new"}},
        {"bound 5 trims to 0 then inserts", 5, 5, {"new"}},
        {"bound 10 drops the 5 lowest", 10, 10, {"k5", "k6", "k7", "k8", "k9", "new"}},
    };
    for (const auto& c : cases) {
        NRVCacheManager cache("trim", c.maxItems);
        // Ranks run against key order, so that trimming by key would show.
        for (int i = 0; i < c.live; ++i) cache.updateCacheData(entry("v", i), std::string("k").append(std::to_string(i)));
        cache.updateCacheData(entry("v", 100), "new");
        std::vector<std::string> keys;
        for (const auto& [key, value] : cache.cache()) keys.push_back(key);
        EXPECT_EQ(keys, c.expectedKeys) << c.name;
    }
}

TEST_F(CacheManagerTest, ExpiredEntryIsAnsweredNilOnceAndRemoved) {
    NRVCacheManager cache("expiry", 0);
    auto stats = std::make_shared<RecordingStats>();
    cache.setStatHandler(stats);
    cache.updateCacheData(entry("live"), "live");
    cache.updateCacheData(entry("old", 0, true), "old");

    EXPECT_EQ(valueOf(cache.cacheDataForKey("absent")), "<nil>");
    EXPECT_EQ(valueOf(cache.cacheDataForKey("live")), "live");
    EXPECT_EQ(valueOf(cache.cacheDataForKey("old")), "<nil>");
    EXPECT_EQ(cache.cache().count("old"), 0u);
    EXPECT_EQ(valueOf(cache.cacheDataForKey("old")), "<nil>");
    cache.statQueue()->sync([] {});
    EXPECT_EQ(stats->calls(), (std::vector<std::string>{"missed", "hit", "missedExpired", "missed"}));
    EXPECT_TRUE(logged("Found a item for the key 'old', but it's expired."));
}

// Stores a fresh entry under its own key at the moment it is found expired,
// before the cache can schedule the removal of the stale one.
class ReplacedWhenCheckedEntry : public TestEntry {
public:
    ReplacedWhenCheckedEntry(NRVCacheManager& cache) : TestEntry("stale", 0, true), cache_(cache) {}
    bool expired() const override {
        cache_.updateCacheData(entry("fresh"), "key");
        return true;
    }

private:
    NRVCacheManager& cache_;
};

TEST_F(CacheManagerTest, RemovingAnExpiredEntryKeepsAFreshOneStoredUnderTheSameKey) {
    NRVCacheManager cache("fresh", 0);
    cache.updateCacheData(std::make_shared<ReplacedWhenCheckedEntry>(cache), "key");
    EXPECT_EQ(valueOf(cache.cacheDataForKey("key")), "<nil>");
    EXPECT_EQ(valueOf(cache.cacheDataForKey("key")), "fresh");
}

TEST_F(CacheManagerTest, NilKeyChangesNothingAndNilDataRemoves) {
    NRVCacheManager cache("nil", 0);
    cache.updateCacheData(entry("a"), "a");
    cache.updateCacheData(entry("b"), std::nullopt);
    EXPECT_EQ(cache.cache().size(), 1u);
    cache.updateCacheData(nullptr, "a");
    cache.removeCacheDataForKey("missing");
    EXPECT_TRUE(cache.cache().empty());
}

TEST_F(CacheManagerTest, FinalArchiveIsWrittenBeforeTheCacheIsGoneAndLoadsBack) {
    {
        auto cache = fileCache();
        cache->updateCacheData(entry("one", 1), "a");
        cache->updateCacheData(entry("gone", 2, true), "expired");
        cache->updateCacheData(entry("last", 3), "b");  // just before the end
    }
    struct stat st {};
    ASSERT_EQ(::lstat(file_.c_str(), &st), 0) << "no archive right after destruction";
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_TRUE(logged("Final archiving cache data (3 item(s)) into file '" + file_ + "'."));
    EXPECT_TRUE(logged("Finished writing cache content into file. success: 1 ("));

    auto again = fileCache();
    auto loaded = again->cache();
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(valueOf(loaded["a"]), "one");
    EXPECT_EQ(valueOf(loaded["b"]), "last");
    EXPECT_TRUE(logged("Load cache data successfully. Total number of items: 2."));
}

TEST_F(CacheManagerTest, PeriodicFlushWritesTheFileAndClearsTheFlag) {
    stdfs::remove(folder_);  // the flush makes the folder itself
    auto cache = fileCache(0);
    auto stats = std::make_shared<RecordingStats>();
    cache->setStatHandler(stats);
    cache->updateCacheData(entry("x"), "x");
    ASSERT_TRUE(stats->waitForFlush(std::chrono::seconds(10)));
    EXPECT_TRUE(stdfs::is_regular_file(file_));
    cache->taskQueue()->syncBarrier([] {});
    EXPECT_FALSE(cache->needToSync());
    EXPECT_TRUE(logged("Archiving cache data (1 item(s)) into file '" + file_ + "'."));
    EXPECT_TRUE(logged("Create a directory '" + folder_ + "' since it's not found."));
}

// Blocks its encoding until released, so that a periodic write can be held
// in flight while newer changes and the final archive go by.
class SlowEntry : public TestEntry {
public:
    SlowEntry() : TestEntry("old", 0) {}
    NRVValue encode() const override {
        if (!announced.exchange(true)) started.set_value();
        released.wait();
        return TestEntry::encode();
    }
    mutable std::atomic<bool> announced{false};
    mutable std::promise<void> started;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
};

TEST_F(CacheManagerTest, AnOlderArchiveNeverReplacesTheFinalOne) {
    auto slow = std::make_shared<SlowEntry>();
    auto startedEncoding = slow->started.get_future();
    auto cache = fileCache(1);
    cache->updateCacheData(slow, "key");
    ASSERT_EQ(startedEncoding.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    cache->updateCacheData(entry("new"), "key");
    cache.reset();  // the final archive, while the older write still waits
    slow->release.set_value();

    auto expectNewest = [&] {
        auto value = platform::plist::readFile(file_);
        ASSERT_TRUE(value);
        const NRVValue* stored = (*(*value)["root"])["key"];
        ASSERT_TRUE(stored);
        EXPECT_EQ(*(*stored)["value"]->asString(), "new");
    };
    expectNewest();
    // The held write holds the entry until it has finished (or been skipped).
    ASSERT_TRUE(testsupport::waitUntil([&] { return slow.use_count() == 1; }));
    expectNewest();
}

TEST_F(CacheManagerTest, HostileOrForeignCacheFilesAreNeitherLoadedNorFollowed) {
    const std::string elsewhere = dir_ / "elsewhere.cache";
    struct Case {
        const char* name;
        std::function<void()> make;
        bool keptAtPath;  // something still at the cache path afterwards
        const char* logLine;
    } cases[] = {
        {"truncated archive is removed",
         [&] {
             writeArchive(file_, {{"a", entry("a")}, {"b", entry("b")}});
             ::truncate(file_.c_str(), static_cast<off_t>(stdfs::file_size(file_) / 2));
         },
         false, "Failed to unarchive file '"},
        {"text of another format is removed",
         [&] {
             testsupport::writeText(file_, "{\"a\": 1}\n");
             ::chmod(file_.c_str(), 0644);
         },
         false, "Failed to unarchive file '"},
        {"a property list of another shape is ignored",
         [&] {
             platform::plist::writeFile(file_, NRVValue(NRVArray{NRVValue("a")}), platform::plist::Format::Binary);
             ::chmod(file_.c_str(), 0644);
         },
         true, "Loaded cache data isn't correct."},
        {"an entry of the wrong type is ignored",
         [&] {
             NRVDictionary entries;
             entries.set("a", NRVValue(7));
             NRVDictionary root;
             root.set("root", NRVValue(std::move(entries)));
             platform::plist::writeFile(file_, NRVValue(std::move(root)), platform::plist::Format::Binary);
             ::chmod(file_.c_str(), 0644);
         },
         true, "Loaded cache data isn't correct."},
        {"a link to a valid archive is not followed",
         [&] {
             writeArchive(elsewhere, {{"a", entry("a")}});
             ::symlink(elsewhere.c_str(), file_.c_str());
         },
         true, "Verifying cache path '"},
        {"a folder at the path is left alone",
         [&] {
             ::mkdir(file_.c_str(), 0755);
             testsupport::writeText(file_ + "/inside", "keep");
         },
         true, "Verifying cache path '"},
        {"mode 0600 is not loaded and not removed",
         [&] {
             writeArchive(file_, {{"a", entry("a")}});
             ::chmod(file_.c_str(), 0600);
         },
         true, "Verifying cache path '"},
        {"a missing file is not loaded",
         [&] {},
         false, "Failed to verify cache file '"},
        {"a folder of mode 0700 is not used",
         [&] {
             writeArchive(file_, {{"a", entry("a")}});
             ::chmod(folder_.c_str(), 0700);
         },
         true, "Verifying cache directory '"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(folder_);
        stdfs::remove(elsewhere);
        ::mkdir(folder_.c_str(), 0755);
        ::chmod(folder_.c_str(), 0755);
        c.make();
        capture_->clear();
        auto cache = fileCache();
        EXPECT_TRUE(cache->cache().empty());
        EXPECT_TRUE(logged(c.logLine));
        EXPECT_EQ(testsupport::exists(file_) || stdfs::is_symlink(file_), c.keptAtPath);
        if (stdfs::is_symlink(file_)) {
            EXPECT_TRUE(stdfs::is_regular_file(elsewhere));
        }
        if (stdfs::is_directory(file_)) {
            EXPECT_EQ(testsupport::readText(file_ + "/inside"), "keep");
        }
        ::chmod(folder_.c_str(), 0755);
    }
}

}  // namespace
