#include "settings-client/GlobalSettingsClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "fakes/FakeServiceFixture.h"
#include "ipc/IPCTestSupport.h"
#include "ipc/notify/NRVDistributedNotification.h"
#include "ipc/notify/NRVDistributedNotificationMap.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "support/Events.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Case = GlobalSettingsClientError::Case;

namespace {

// The case thrown by `call`, or nullopt when it returned.
template <class F>
std::optional<Case> thrownBy(F&& call) {
    try {
        call();
    } catch (const GlobalSettingsClientError& error) {
        return error.kind();
    }
    return std::nullopt;
}

// Everything the handler, a watch and the delegate heard, in order.
class Heard : public GlobalSettingsClientDelegate {
public:
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        changed_.notify_all();
    }
    bool waitFor(const std::string& line, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit,
                                 [&] { return std::find(lines_.begin(), lines_.end(), line) != lines_.end(); });
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    void connectionStatusChanged(bool connected) override { add(connected ? "delegate connected" : "delegate lost"); }
    void settingChanged(const std::string& key, const NRVValue& value) override {
        add("delegate " + key + "=" + (value.asString() ? *value.asString() : "?"));
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

class GlobalSettingsClientTest : public FakeServiceFixture {
protected:
    // A broker, then the settings service with the knobs.
    void startSettings(const std::vector<std::string>& knobs) {
        ASSERT_GT(startRole("broker"), 0);
        ASSERT_GT(startRole("settings", knobs), 0);
    }
    // Connected, with room for a loaded machine in each synchronous call.
    std::shared_ptr<GlobalSettingsClient> connectedClient() {
        auto client = GlobalSettingsClient::create(std::make_shared<NRVXPCClientHelper>(),
                                                   NRVDistributedNotification::create(), "com.nerova.test.sender");
        client->setSyncCallLimitForUnitTest(10s);
        auto connected = client->connect();
        EXPECT_EQ(connected.wait_for(10s), std::future_status::ready) << "no connection to the settings service";
        return client;
    }
};

TEST(GlobalSettingsClientValueTypes, CodesFollowTheRequestedType) {
    using namespace GlobalSettingsValueTypes;
    static_assert(getValueType<std::int64_t>() == 2);
    static_assert(getValueType<unsigned long long>() == 3);
    static_assert(getValueType<std::uint64_t>() == 10);
    static_assert(getValueType<double>() == 4);
    static_assert(getValueType<bool>() == 5);
    static_assert(getValueType<std::string>() == 6);
    static_assert(getValueType<NRVArray>() == 7);
    static_assert(getValueType<std::vector<std::string>>() == 7);
    static_assert(getValueType<NRVDictionary>() == 8);
    static_assert(getValueType<NRVData>() == 9);
    static_assert(getValueType<NRVDate>() == 1);
    EXPECT_EQ(cast<std::uint64_t>(NRVValue(-1)), std::nullopt);
    EXPECT_EQ(cast<std::int64_t>(NRVValue(3.0)), 3);
    EXPECT_EQ(cast<std::int64_t>(NRVValue(3.5)), std::nullopt);
    EXPECT_EQ(cast<std::string>(NRVValue(3)), std::nullopt);
}

TEST_F(GlobalSettingsClientTest, NotConnectedBeforeConnectWithoutWaiting) {
    auto client = GlobalSettingsClient::create(nullptr, nullptr, "s");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(thrownBy([&] { client->retrieve<std::string>("k", 1); }), Case::notConnected);
    EXPECT_EQ(thrownBy([&] { client->store<std::string>("v", "k", 1, false); }), Case::notConnected);
    EXPECT_EQ(thrownBy([&] { client->retrieveAsync<std::string>("k", 1); }), Case::notConnected);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
}

// Reads and writes against the seeded service: stored values, a key that is
// not set, another type than stored, and enciphered values kept as stored.
TEST_F(GlobalSettingsClientTest, RetrievesAndStores) {
    startSettings({"--set=1:NRVMcsEndpointUUID=E-1", "--set=2:Count=7", "--set-enciphered=2:PrimaryServerUserName=alice"});
    auto client = connectedClient();
    EXPECT_EQ(client->retrieve<std::string>("NRVMcsEndpointUUID", 1), "E-1");
    EXPECT_EQ(client->retrieve<std::string>("NRVMcsEndpointUUID", 2), std::nullopt) << "service types are separate";
    EXPECT_EQ(client->retrieve<std::string>("Missing", 1), std::nullopt);
    EXPECT_EQ(client->retrieve<std::string>("Count", 2), "7");
    EXPECT_EQ(client->retrieve<std::int64_t>("NRVMcsEndpointUUID", 1), std::nullopt);
    auto enciphered = client->retrieve<std::string>("PrimaryServerUserName", 2);
    ASSERT_TRUE(enciphered);
    EXPECT_NE(*enciphered, "alice");

    client->store<std::int64_t>(12, "Number", 2, false);
    EXPECT_EQ(client->retrieve<std::int64_t>("Number", 2), 12);
    EXPECT_EQ(client->retrieve<std::string>("Number", 2), std::nullopt);
    client->storeAsync<std::string>("async", "Text", 1, false).get();
    EXPECT_EQ(client->retrieveAsync<std::string>("Text", 1).get(), "async");
}

// Once the service dies, anyone may bind the endpoints the broker still
// hands out. The connected client refuses the process that took them
// (unsigned, or signed by another maker) as soon as it answers the status
// call, which carries nothing, and writes no setting to it.
TEST_F(GlobalSettingsClientTest, AnImpostorOnADeadServicesEndpointsIsRefusedAndGetsNoCall) {
    ASSERT_GT(startRole("broker"), 0);
    const std::string service = GlobalSettingsClient::kServiceName;
    int n = 0;
    for (const auto& impostor : impostorPrograms()) {
        SCOPED_TRACE(impostor.label);
        const std::string row = std::to_string(n++);
        const pid_t genuine = startRole("settings", {"--set=1:Key=genuine"});
        ASSERT_GT(genuine, 0);
        auto client = connectedClient();
        EXPECT_EQ(client->retrieve<std::string>("Key", 1), "genuine");
        const auto endpoints = endpointsOf(service);
        ASSERT_FALSE(endpoints.first.empty());

        stopRole(genuine, SIGKILL);
        ASSERT_TRUE(testsupport::waitUntil([&] { return !client->isConnected(); }));
        const std::string record = runtimeRoot() + "/impostor" + row + ".txt";
        const pid_t taker = startImpostor(impostor, service, endpoints, record);
        ASSERT_GT(taker, 0);
        // It announces the registration, as anyone may: the client tries it at once.
        const std::string refusal =
            "Connection to '" + service + "' (pid: " + std::to_string(taker) + ") is not the expected service. Drop it.";
        ASSERT_TRUE(testsupport::waitUntil([&] { return ipctest::countLog(logStore(), refusal) > 0; }, 30s));
        EXPECT_FALSE(client->isConnected());
        EXPECT_EQ(thrownBy([&] { client->store<std::string>("secret-value", "Key", 1, false); }), Case::notConnected);
        // Only status calls ever reached it.
        const auto calls = testsupport::lines(testsupport::readText(record));
        EXPECT_FALSE(calls.empty());
        for (const auto& line : calls) EXPECT_EQ(line, "statusWithReply:");
        client.reset();
        stopRole(taker);
    }
}

TEST_F(GlobalSettingsClientTest, RefusedWriteIsKeyNotSet) {
    startSettings({"--reply=no", "--set=1:Key=v"});
    auto client = connectedClient();
    EXPECT_EQ(thrownBy([&] { client->store<std::string>("v", "Key", 1, true); }), Case::keyNotSet);
    EXPECT_EQ(thrownBy([&] { client->storeAsync<std::string>("v", "Key", 1, true).get(); }), Case::keyNotSet);
    EXPECT_EQ(client->retrieve<std::string>("Key", 1), std::nullopt);
}

TEST_F(GlobalSettingsClientTest, WrongValueKindIsNil) {
    startSettings({"--wrong-kind", "--set=1:Key=text"});
    auto client = connectedClient();
    EXPECT_EQ(client->retrieve<std::string>("Key", 1), std::nullopt);
    EXPECT_EQ(client->retrieve<std::int64_t>("Key", 1), 42);
}

// A service that answers after 1200 ms: the read gives up after about 500 ms,
// and the late reply lands in the abandoned cell (ASan watches it) without
// touching later calls.
TEST_F(GlobalSettingsClientTest, SlowServiceTimesOutAndLateReplyIsIgnored) {
    startSettings({"--delay-ms=1200", "--set=1:Key=v"});
    auto client = connectedClient();
    client->setSyncCallLimitForUnitTest(GlobalSettingsClient::kSyncCallLimit);
    const std::string timedOutLine = "Connection to com.nerova.configxpc timed out";
    const std::size_t timedOutBefore = ipctest::countLog(logStore(), timedOutLine);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(thrownBy([&] { client->retrieve<std::string>("Key", 1); }), Case::timedOut);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 490ms);
    EXPECT_LT(took, 1150ms) << "the read waited for the late reply";
    EXPECT_EQ(thrownBy([&] { client->store<std::string>("w", "Key", 1, false); }), Case::timedOut);
    // One error line per timed-out call, naming the service.
    EXPECT_TRUE(ipctest::eventually(
        [&] { return ipctest::countLog(logStore(), timedOutLine) == timedOutBefore + 2; }));
    // The service answers each call the same time after it came: both late
    // replies arrive while this call waits for its own.
    client->setAsyncCallLimit(10s);
    EXPECT_EQ(client->retrieveAsync<std::string>("Key", 1).get(), "w");
}

TEST_F(GlobalSettingsClientTest, AsyncCallsAreBounded) {
    startSettings({"--never-reply"});
    auto client = connectedClient();
    client->setAsyncCallLimit(300ms);
    auto read = client->retrieveAsync<std::string>("Key", 1);
    auto write = client->storeAsync<std::string>("v", "Key", 1, false);
    ASSERT_EQ(read.wait_for(30s), std::future_status::ready);
    ASSERT_EQ(write.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(thrownBy([&] { read.get(); }), Case::timedOut);
    EXPECT_EQ(thrownBy([&] { write.get(); }), Case::timedOut);
}

// A write that asks for notification reaches the handler, a watch of its
// key and the delegate; a watch of a key differing only in case hears nothing.
TEST_F(GlobalSettingsClientTest, ChangeNotificationReachesHandlerWatchAndDelegate) {
    ASSERT_GT(startRole("map-updater"), 0);
    startSettings({});
    auto client = connectedClient();
    auto heard = std::make_shared<Heard>();
    client->setDelegate(heard);
    client->setSettingsChangedHandler([heard](const std::string& key, const NRVValue& value) {
        heard->add("handler " + key + "=" + (value.asString() ? *value.asString() : "?"));
    });
    auto watch = client->watch<std::string>("Name", [heard](std::optional<std::string> v) {
        heard->add("watch Name=" + v.value_or("nil"));
    });
    auto other = client->watch<std::string>("name", [heard](std::optional<std::string> v) {
        heard->add("watch name=" + v.value_or("nil"));
    });
    auto asNumber = client->watch<std::int64_t>("Name", [heard](std::optional<std::int64_t> v) {
        heard->add(std::string("watch number ") + (v ? "value" : "nil"));
    });
    // The subscription reaches the map updater asynchronously: write until heard.
    bool arrived = false;
    for (int i = 0; i < 40 && !arrived; ++i) {
        client->store<std::string>("first", "Name", 1, true);
        arrived = heard->waitFor("handler Name=first", 250ms);
    }
    ASSERT_TRUE(arrived);
    client->store<std::string>("second", "Name", 1, true);
    ASSERT_TRUE(heard->waitFor("watch Name=second"));
    ASSERT_TRUE(heard->waitFor("delegate Name=second"));
    client->store<std::string>("quiet", "Name", 1, false);
    // A quiet store must not be heard: a short bound for something that must
    // not happen.
    std::this_thread::sleep_for(300ms);
    const auto lines = heard->lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "watch name=first"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "watch name=second"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "handler Name=quiet"), 0);
    EXPECT_GE(std::count(lines.begin(), lines.end(), "watch number nil"), 1);
    auto handlerSecond = std::find(lines.begin(), lines.end(), "handler Name=second");
    auto watchSecond = std::find(lines.begin(), lines.end(), "watch Name=second");
    EXPECT_LT(handlerSecond, watchSecond) << "the handler hears a change before the watches";

    // A notification without a new value, or whose key is no text, reaches
    // nobody; a well-formed one sent after them shows they were delivered.
    // This process sends them itself: once it has learnt of the client's
    // subscription from the map updater, and with the time a loaded machine
    // needs for the first connection to the client's receiving service.
    NRVDistributedNotificationMap::setTargetConnectWaitForUnitTest(30s);
    struct RestoreWait {
        ~RestoreWait() {
            NRVDistributedNotificationMap::setTargetConnectWaitForUnitTest(NRVDistributedNotificationMap::kTargetConnectWait);
        }
    } restoreWait;
    ASSERT_TRUE(testsupport::waitUntil([] {
        auto map = NRVDistributedNotification::sharedNotificationMap()->notificationMapForUnitTest();
        if (!map) return false;
        auto name = map->find(GlobalSettingsClient::kDidChangeNotification);
        return name != map->end() && !name->second.empty();
    }));
    NRVDictionary noValue;
    noValue.set(GlobalSettingsClient::kKeyModified, "Missing");
    NRVDistributedNotification::notify(GlobalSettingsClient::kDidChangeNotification, NRVValue(noValue));
    NRVDictionary numberKey;
    numberKey.set(GlobalSettingsClient::kKeyModified, 7);
    numberKey.set(GlobalSettingsClient::kNewValue, "seven");
    NRVDistributedNotification::notify(GlobalSettingsClient::kDidChangeNotification, NRVValue(numberKey));
    NRVDistributedNotification::notify(GlobalSettingsClient::kDidChangeNotification, NRVValue("not a dictionary"));
    NRVDictionary marker;
    marker.set(GlobalSettingsClient::kKeyModified, "Marker");
    marker.set(GlobalSettingsClient::kNewValue, "m");
    NRVDistributedNotification::notify(GlobalSettingsClient::kDidChangeNotification, NRVValue(marker));
    ASSERT_TRUE(heard->waitFor("handler Marker=m"));
    ASSERT_TRUE(heard->waitFor("delegate Marker=m"));
    for (const std::string& line : heard->lines()) {
        EXPECT_EQ(line.find("Missing"), std::string::npos) << line;
        EXPECT_EQ(line.find("seven"), std::string::npos) << line;
    }
}

// The connect callback hears true on the first connection, false when the
// service came back after a restart, and nothing when it went away; the
// delegate hears every change of state.
TEST_F(GlobalSettingsClientTest, ConnectCallbackTellsFirstConnectionOnly) {
    ASSERT_GT(startRole("broker"), 0);
    pid_t settings = startRole("settings", {"--set=1:Key=v"});
    ASSERT_GT(settings, 0);
    auto heard = std::make_shared<Heard>();
    auto client = GlobalSettingsClient::create(nullptr, nullptr, "s");
    client->setSyncCallLimitForUnitTest(10s);
    client->setDelegate(heard);
    client->connect([heard](bool first) { heard->add(first ? "callback first" : "callback again"); });
    ASSERT_TRUE(heard->waitFor("callback first"));
    ASSERT_TRUE(heard->waitFor("delegate connected"));
    stopRole(settings);
    ASSERT_TRUE(heard->waitFor("delegate lost"));
    EXPECT_EQ(thrownBy([&] { client->retrieve<std::string>("Key", 1); }), Case::notConnected);
    ASSERT_GT(startRole("settings", {"--set=1:Key=w"}), 0);
    ASSERT_TRUE(heard->waitFor("callback again", 30s));
    EXPECT_EQ(client->retrieve<std::string>("Key", 1), "w");
    const auto lines = heard->lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "callback first"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "callback again"), 1);
}

// The destructor drains the delegate queue: a delegate call under way when
// the client goes has finished once the destructor returns, and the client
// lets its delegate go.
TEST_F(GlobalSettingsClientTest, DestroyedClientCallsNoDelegateAfterwards) {
    startSettings({});
    struct SlowDelegate : GlobalSettingsClientDelegate {
        std::atomic<bool> entered{false}, finished{false};
        void connectionStatusChanged(bool) override {
            entered = true;
            std::this_thread::sleep_for(400ms);
            finished = true;
        }
        void settingChanged(const std::string&, const NRVValue&) override {}
    };
    auto delegate = std::make_shared<SlowDelegate>();
    auto client = GlobalSettingsClient::create(nullptr, nullptr, "s");
    client->setDelegate(delegate);
    client->connect(nullptr);
    ASSERT_TRUE(testsupport::waitUntil([&] { return delegate->entered.load(); }));
    client.reset();
    EXPECT_TRUE(delegate->finished);
    EXPECT_EQ(delegate.use_count(), 1);
}

}  // namespace
