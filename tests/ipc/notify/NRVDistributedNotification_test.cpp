#include "ipc/notify/NRVDistributedNotification.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "fakes/FakeServiceFixture.h"
#include "ipc/notify/NRVDistributedNotificationProtocols.h"
#include "ipc/xpc/NRVKeyedArchive.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "ipc/xpc/NRVXPCServiceHelper.h"
#include "platform/plist/PropertyList.h"
#include "support/BinaryPropertyList.h"
#include "support/ChildProcess.h"
#include "support/Events.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;

namespace {

// What one subscriber's notifier was called with.
class Received {
public:
    NRVDistributedNotification::Notifier notifier() {
        return [this](const std::string& name, const NRVValue& object) {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.emplace_back(name, object);
            changed_.notify_all();
        };
    }
    bool waitForCount(std::size_t n, std::chrono::milliseconds limit = 30s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return seen_.size() >= n; });
    }
    std::vector<std::pair<std::string, NRVValue>> seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::string, NRVValue>> seen_;
};

// Polls until `condition` holds or the limit passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    return testsupport::waitUntil(condition, limit);
}

std::size_t subscribersInMap(const std::string& name) {
    auto map = NRVDistributedNotification::sharedNotificationMap()->notificationMapForUnitTest();
    if (!map) return 0;
    auto it = map->find(name);
    return it == map->end() ? 0 : it->second.size();
}

class NRVDistributedNotificationTest : public FakeServiceFixture {
protected:
    void SetUp() override {
        // The first notification to each receiving process (this one too)
        // opens the connection to it; on a loaded machine that may take
        // longer than the usual wait, and the notification would be lost.
        NRVDistributedNotificationMap::setTargetConnectWaitForUnitTest(std::chrono::seconds(30));
        FakeServiceFixture::SetUp();
        ASSERT_GT(startRole("broker"), 0);
        ASSERT_GT(startRole("map-updater", {"--record=" + recordFile()}), 0);
    }
    void TearDown() override {
        FakeServiceFixture::TearDown();
        NRVDistributedNotificationMap::setTargetConnectWaitForUnitTest(NRVDistributedNotificationMap::kTargetConnectWait);
    }
    std::string recordFile() const { return runtimeRoot() + "/updater.txt"; }
};

}  // namespace

// A subscriber that ends after the process's map was let go of makes no new
// map: it has nothing to unregister there, and a fresh map would start a
// service and connect to the updater while the subscriber ends.
TEST_F(NRVDistributedNotificationTest, SubscriberEndingWithoutAMapMakesNone) {
    const std::string name = "com.nerova.test.ending";
    auto notification = NRVDistributedNotification::create();
    Received received;
    notification->subscribeName(name, received.notifier());
    ASSERT_TRUE(eventually([&] { return subscribersInMap(name) == 1; }));
    NRVDistributedNotification::resetSharedNotificationMapForUnitTest();
    std::weak_ptr<NRVDistributedNotification> weak = notification;
    notification->unsubscribeAllNames();
    notification.reset();
    ASSERT_TRUE(eventually([&] { return weak.expired(); }));
    for (const auto& [service, registered] : NRVXPCServiceHelper::sharedHelper()->listenerTableForUnitTest())
        EXPECT_NE(service.rfind("com.nerova.NRVDistributedNotificationMap_", 0), 0u) << service;
}

// A payload posted in this process reaches two other subscribed processes
// and this process's own subscriber; a nil payload arrives as nil.
TEST_F(NRVDistributedNotificationTest, PayloadArrivesInEverySubscribedProcess) {
    const std::string name = "com.nerova.test.payload";
    const std::string helper = std::string(NRV_BIN_DIR) + "/nrv-payload-subscriber";
    testsupport::ChildProcess first({helper, "--name=" + name}), second({helper, "--name=" + name, "--name=other"});
    ASSERT_TRUE(first.waitForLine("READY", 10s));
    ASSERT_TRUE(second.waitForLine("READY", 10s));

    auto own = NRVDistributedNotification::create();
    Received received;
    own->subscribeName(name, received.notifier());
    ASSERT_TRUE(eventually([&] { return subscribersInMap(name) == 3; }));

    NRVDictionary payload;
    payload.set("AccountName", "user");
    payload.set("Port", 8080);
    NRVDistributedNotification::notify(name, NRVValue(payload));
    NRVDistributedNotification::notify(name);
    for (auto* process : {&first, &second}) {
        EXPECT_EQ(process->readLine(10s).value_or("<nothing>"), name + "|AccountName=user,Port=8080");
        EXPECT_EQ(process->readLine(10s).value_or("<nothing>"), name + "|nil");
    }
    ASSERT_TRUE(received.waitForCount(2));
    EXPECT_EQ(received.seen()[0], std::make_pair(name, NRVValue(payload)));
    EXPECT_EQ(received.seen()[1], std::make_pair(name, NRVValue()));
}

// Payloads that are no archive reach no notifier and leave a log line; the
// receiving service goes on taking good ones.
TEST_F(NRVDistributedNotificationTest, GarbagePayloadsAreDroppedWithALogLine) {
    const std::string name = "com.nerova.test.garbage";
    auto subscriber = NRVDistributedNotification::create();
    Received received;
    subscriber->subscribeName(name, received.notifier());
    ASSERT_TRUE(eventually([&] { return subscribersInMap(name) == 1; }));

    NRVXPCClientHelper sender;
    ASSERT_EQ(sender.connectAndWaitForFirstConnectionForService(subscriber->xpcServiceName(),
                                                                NRVDistributedNotificationXPCProtocol(), 10.0),
              0);
    // Deeper than an archive may be: made by hand, as no writer makes it.
    const std::string deepBytes = testsupport::nestedArraysUnder("root", NRVKeyedArchive::kMaxDepth + 8);
    const NRVData garbage[] = {
        NRVData{},
        NRVData{'j', 'u', 'n', 'k'},
        NRVData(deepBytes.begin(), deepBytes.end()),
    };
    auto proxy = sender.remoteObjectProxyForService(subscriber->xpcServiceName(), [](const std::string&) {});
    ASSERT_TRUE(proxy);
    for (const auto& bytes : garbage) proxy->call("notifyName:rawPayload:withReply:", {name, bytes}, [](const platform::xpc::Values&) {});
    proxy->call("notifyName:rawPayload:withReply:", {name, *NRVKeyedArchive::archivedDataWithRootObject(NRVValue("good"))},
                [](const platform::xpc::Values&) {});
    ASSERT_TRUE(received.waitForCount(1));
    auto dropped = [&] {
        std::size_t n = 0;
        for (const auto& line : testsupport::lines(testsupport::readText(logStore())))
            if (line.find("Dropped the notification '" + name + "': its payload does not decode.") != std::string::npos)
                ++n;
        return n;
    };
    EXPECT_TRUE(eventually([&] { return dropped() >= std::size(garbage); }));
    EXPECT_EQ(dropped(), std::size(garbage));
    EXPECT_EQ(received.seen(), (std::vector<std::pair<std::string, NRVValue>>{{name, NRVValue("good")}}));
}

// Every unsubscription reaches the updater as the subscriber's whole
// remaining set, and once the map no longer lists a receiving service the
// sender lets go of its connection to it.
TEST_F(NRVDistributedNotificationTest, UnsubscriptionIsReportedWithTheReducedSet) {
    auto subscriber = NRVDistributedNotification::create();
    Received received;
    subscriber->subscribeNames({"com.nerova.test.a", "com.nerova.test.b"}, received.notifier());
    ASSERT_TRUE(eventually([&] { return subscribersInMap("com.nerova.test.b") == 1; }));
    NRVDistributedNotification::notify("com.nerova.test.a", NRVValue(1));
    ASSERT_TRUE(received.waitForCount(1));
    const std::string service = subscriber->xpcServiceName();
    auto map = NRVDistributedNotification::sharedNotificationMap();
    EXPECT_EQ(map->availableXPCConnectionsForUnitTest(), std::set<std::string>{service});

    subscriber->unsubscribeName("com.nerova.test.a");
    ASSERT_TRUE(eventually([&] { return subscribersInMap("com.nerova.test.a") == 0; }));
    subscriber->unsubscribeAllNames();
    ASSERT_TRUE(eventually([&] { return subscribersInMap("com.nerova.test.b") == 0; }));
    ASSERT_TRUE(eventually([&] { return map->availableXPCConnectionsForUnitTest().empty(); }));

    std::vector<std::string> reports;
    for (const auto& line : testsupport::lines(testsupport::readText(recordFile())))
        if (line.rfind(service + "\t", 0) == 0) reports.push_back(line.substr(service.size() + 1));
    EXPECT_EQ(reports, (std::vector<std::string>{"com.nerova.test.a,com.nerova.test.b", "com.nerova.test.b", ""}));
}
