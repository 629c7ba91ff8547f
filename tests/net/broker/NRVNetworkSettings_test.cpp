#include "net/broker/NRVNetworkSettings.h"

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include <gtest/gtest.h>

#include "platform/log/LogStore.h"
#include "platform/plist/PropertyList.h"
#include "support/TestSupport.h"

namespace {

// Counts the change reports a block receives.
struct Counter {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;

    void bump() {
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
        changed.notify_all();
    }
    // Waits (30 s at most: only a missing change sits through it) until the
    // count is above `seen`.
    int waitAbove(int seen) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return count > seen; });
        return count;
    }
    int now() {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }
};

TEST(NRVNetworkSettings, ChangesOfTheSettingsFileReachEveryBlockInOrder) {
    testsupport::TempDir root;
    testsupport::ScopedEnv runtime("NRV_RUNTIME_ROOT", root.path());
    auto capture = std::make_shared<platform::log::CaptureSink>();
    platform::log::setSink(capture);
    NRVNetworkSettings::watchProxySettingChange();

    auto counter = std::make_shared<Counter>();
    auto order = std::make_shared<std::vector<int>>();  // touched on the shared queue only
    NRVNetworkSettings::monitorProxyChangeWithNotificationBlock([order] { order->push_back(1); });
    NRVNetworkSettings::monitorProxyChangeWithNotificationBlock([order, counter] {
        order->push_back(2);
        counter->bump();
    });

    // The folder appears, then the file is written atomically, then removed.
    std::filesystem::create_directories(root / "network");
    int seen = counter->waitAbove(0);
    EXPECT_GE(seen, 1);
    NRVDictionary d;
    d.set("HTTPEnable", 1);
    ASSERT_TRUE(platform::plist::writeFile(root / "network/proxy.plist", d, platform::plist::Format::XML));
    seen = counter->waitAbove(seen);
    std::filesystem::remove(root / "network/proxy.plist");
    int afterRemove = counter->waitAbove(seen);
    EXPECT_GT(afterRemove, seen);

    // Another file in the folder is not a change.
    NRVNetworkSettings::sharedTaskQueue()->sync([] {});
    int quiet = counter->now();
    testsupport::writeText(root / "network/other.txt", "x");
    // Waits for a notice that must not come: a short bound, long enough for
    // the watcher to see the write and reach the queue.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    NRVNetworkSettings::sharedTaskQueue()->sync([] {});
    EXPECT_EQ(counter->now(), quiet);

    std::vector<int> seenOrder;
    NRVNetworkSettings::sharedTaskQueue()->sync([&] { seenOrder = *order; });
    ASSERT_GE(seenOrder.size(), 2u);
    for (std::size_t i = 0; i + 1 < seenOrder.size(); i += 2) {
        EXPECT_EQ(seenOrder[i], 1);
        EXPECT_EQ(seenOrder[i + 1], 2);
    }
    bool logged = false;
    for (const auto& r : capture->records())
        logged |= r.category == "proxy" && r.message == "Proxy setting change detected. Report to 2 watcher(s).";
    EXPECT_TRUE(logged);
    platform::log::setSink(nullptr);
}

}  // namespace
