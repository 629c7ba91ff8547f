#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "IPCTestSupport.h"
#include "support/TestSupport.h"
#include "fakes/FakeServiceFixture.h"
#include "fakes/nrv-fake-service/FakeProtocols.h"
#include "foundation/NRVDispatchExtensions.h"
#include "ipc/NRVXPCClientConnection.h"
#include "ipc/NRVXPCClientHelper.h"

using namespace std::chrono_literals;
using ipctest::callAndWait;
using ipctest::eventually;
using platform::xpc::Value;

namespace {

class NRVXPCClientHelperTest : public FakeServiceFixture {
protected:
    // A name of its own per test: the helper's table lives as long as the process.
    std::string service = "com.nerova.remote.zep.test-" +
                          std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());

    pid_t startAgent(std::vector<std::string> knobs = {}) {
        knobs.push_back("--service=" + service);
        return startRole("agent", knobs);
    }

    ipctest::Outcome askName(NRVXPCClientHelper& helper, std::chrono::milliseconds limit = 5s) {
        return callAndWait([&](auto onError) { return helper.remoteObjectProxyForService(service, onError); },
                           "requestArchiveName:", {}, limit);
    }
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(NRVXPCClientHelperTest, ReachesAServiceByNameThroughTheBrokerAndCallsIt) {
    ASSERT_TRUE(startRole("broker"));
    std::string record = runtimeRoot() + "/uploads.txt";
    ASSERT_TRUE(startAgent({"--name=Host_20261210_000000_ZEP", "--record=" + record}));

    NRVXPCClientHelper helper;
    ASSERT_EQ(helper.connectAndWaitForFirstConnectionForService(service, fake::NRVRemoteZEPProtocol(), 5.0), 0);
    auto name = askName(helper);
    ASSERT_TRUE(name.reply) << name.error.value_or("timed out");
    EXPECT_EQ(*name.reply, platform::xpc::Values{Value("Host_20261210_000000_ZEP")});

    // One-way notice: it reaches the agent, nothing comes back.
    NRVXPCProxy proxy = helper.remoteObjectProxyForService(service, [](const std::string&) {});
    ASSERT_TRUE(proxy);
    proxy->send("requestArchiveUpload:at:", {Value("Host_20261210_000000_ZEP"), Value("/tmp/staging")});
    EXPECT_TRUE(eventually([&] { return testsupport::readText(record) == "Host_20261210_000000_ZEP\t/tmp/staging\n"; }));

    // A second helper shares the connection and is told the proxy at once.
    NRVXPCClientHelper second;
    std::promise<bool> told;
    std::once_flag once;
    second.connectService(service, fake::NRVRemoteZEPProtocol(), [&](NRVXPCProxy p) {
        std::call_once(once, [&] { told.set_value(p != nullptr); });
    });
    auto f = told.get_future();
    ASSERT_EQ(f.wait_for(2s), std::future_status::ready);
    EXPECT_TRUE(f.get());
    EXPECT_EQ(NRVXPCClientHelper::sharedClientConnectionsForUnitTest().at(service)->numberOfRegisteredClient(), 2u);

    helper.disconnectService(service);
    second.disconnectService(service);
    EXPECT_TRUE(eventually([&] { return !NRVXPCClientHelper::sharedClientConnectionsForUnitTest().count(service); }));
    std::string error;
    EXPECT_FALSE(helper.remoteObjectProxyForService(service, [&](const std::string& e) { error = e; }));
    EXPECT_EQ(error, "Cannot find a connection object for the service '" + service + "'.");
}

TEST_F(NRVXPCClientHelperTest, WaitReturnsAtOnceWithoutABrokerAndAfterItsLimitWithoutAService) {
    NRVXPCClientHelper helper;
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(helper.connectAndWaitForFirstConnectionForService(service, fake::NRVRemoteZEPProtocol(), 3.0), 0);
    EXPECT_LT(secondsSince(start), 0.5);

    ASSERT_TRUE(startRole("broker"));
    start = std::chrono::steady_clock::now();
    EXPECT_NE(helper.connectAndWaitForFirstConnectionForService(service, fake::NRVRemoteZEPProtocol(), 1.0), 0);
    double waited = secondsSince(start);
    EXPECT_GE(waited, 0.95);
    EXPECT_LT(waited, 2.5);

    std::string error;
    EXPECT_FALSE(helper.remoteObjectProxyForService(service, [&](const std::string& e) { error = e; }));
    EXPECT_EQ(error, "Cannot find a connection for the service '" + service + "'.");
    helper.disconnectService(service);
}

TEST_F(NRVXPCClientHelperTest, ServiceDeathTellsEveryHandlerNilAndARestartReconnects) {
    ASSERT_TRUE(startRole("broker"));
    pid_t agent = startAgent({"--name=first"});
    ASSERT_TRUE(agent);

    std::mutex mutex;
    std::vector<bool> seenA, seenB;
    NRVXPCClientHelper a, b;
    a.connectService(service, fake::NRVRemoteZEPProtocol(), [&](NRVXPCProxy p) {
        std::lock_guard<std::mutex> lock(mutex);
        seenA.push_back(p != nullptr);
    });
    b.connectService(service, fake::NRVRemoteZEPProtocol(), [&](NRVXPCProxy p) {
        std::lock_guard<std::mutex> lock(mutex);
        seenB.push_back(p != nullptr);
    });
    auto seen = [&](const std::vector<bool>& v, std::vector<bool> expected) {
        return eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return v == expected;
        }, 20s);
    };
    ASSERT_TRUE(seen(seenA, {true}));
    ASSERT_TRUE(seen(seenB, {true}));

    stopRole(agent, SIGKILL);
    EXPECT_TRUE(seen(seenA, {true, false}));
    EXPECT_TRUE(seen(seenB, {true, false}));

    ASSERT_TRUE(startAgent({"--name=second"}));
    EXPECT_TRUE(seen(seenA, {true, false, true}));
    EXPECT_TRUE(seen(seenB, {true, false, true}));
    auto name = askName(a);
    ASSERT_TRUE(name.reply) << name.error.value_or("timed out");
    EXPECT_EQ(*name.reply, platform::xpc::Values{Value("second")});
    a.disconnectService(service);
    b.disconnectService(service);
}

TEST_F(NRVXPCClientHelperTest, AnAttemptStuckConnectingFailsAtItsBoundAndTheClientReconnectsLater) {
    NRVXPCClientConnection::setConnectingLimitForUnitTest(200ms);
    struct RestoreLimit {
        ~RestoreLimit() { NRVXPCClientConnection::setConnectingLimitForUnitTest(30s); }
    } restore;
    // A broker that takes the request and never answers it.
    pid_t silent = startRole("broker", {"--never-reply"});
    ASSERT_TRUE(silent);

    std::mutex mutex;
    std::vector<bool> seen;
    NRVXPCClientHelper helper;
    helper.connectService(service, fake::NRVRemoteZEPProtocol(), [&](NRVXPCProxy p) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(p != nullptr);
    });
    std::shared_ptr<NRVXPCClientConnection> connection;
    ASSERT_TRUE(eventually([&] {
        auto table = NRVXPCClientHelper::sharedClientConnectionsForUnitTest();
        if (table.count(service)) connection = table.at(service);
        return connection != nullptr;
    }));
    const std::string bound = "Connection to the service '" + service + "' did not complete within 0.2 seconds.";
    ASSERT_TRUE(eventually([&] { return ipctest::countLog(logStore(), bound) == 1; }));
    EXPECT_TRUE(eventually([&] { return connection->connStatusForUnitTest() == NRVXPCClientConnection::Disconnected; }));
    // The bound goes through the connection-error path: close, then a retry.
    const std::vector<std::string> errorPath = {
        bound,
        "Handle XPC connection error for the service '" + service + "'",
        "Close XPC connection for the service '" + service + "'.",
        "Reconnect after 10 seconds. (Service name: " + service + ")",
    };
    std::vector<std::string> lines = ipctest::logMessages(logStore());
    auto at = std::find(lines.begin(), lines.end(), errorPath[0]);
    ASSERT_NE(at, lines.end());
    for (const auto& expected : errorPath) {
        at = std::find(at, lines.end(), expected);
        EXPECT_NE(at, lines.end()) << expected;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(seen.empty());  // never connected: nobody is told anything
    }

    // A working broker and the service's registration bring the client back
    // without waiting for the retry (with the usual bound: a loaded machine
    // may take longer than the short one to connect).
    NRVXPCClientConnection::setConnectingLimitForUnitTest(30s);
    stopRole(silent);
    ASSERT_TRUE(startRole("broker"));
    ASSERT_TRUE(startAgent({"--name=back"}));
    EXPECT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen == std::vector<bool>{true};
    }, 8s));
    EXPECT_EQ(connection->connStatusForUnitTest(), NRVXPCClientConnection::Connected);
    EXPECT_EQ(ipctest::countLog(logStore(), bound), 1u);
    auto name = askName(helper);
    ASSERT_TRUE(name.reply) << name.error.value_or("timed out");
    EXPECT_EQ(*name.reply, platform::xpc::Values{Value("back")});
    helper.disconnectService(service);
}

TEST_F(NRVXPCClientHelperTest, ANeverAnsweredCallIsEndedByTheCallersOwnBound) {
    ASSERT_TRUE(startRole("broker"));
    {
        ASSERT_TRUE(startAgent({"--never-reply", "--name=x"}));
        NRVXPCClientHelper helper;
        ASSERT_EQ(helper.connectAndWaitForFirstConnectionForService(service, fake::NRVRemoteZEPProtocol(), 5.0), 0);
        auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(askName(helper, 300ms).timedOut());
        EXPECT_LT(secondsSince(start), 1.0);
        helper.disconnectService(service);
    }
}

TEST_F(NRVXPCClientHelperTest, LateReplyIsIgnoredAndADyingPeerFailsThePendingCall) {
    ASSERT_TRUE(startRole("broker"));
    pid_t agent = startAgent({"--delay-ms=500", "--name=late", "--crash-after=1"});
    ASSERT_TRUE(agent);
    NRVXPCClientHelper helper;
    ASSERT_EQ(helper.connectAndWaitForFirstConnectionForService(service, fake::NRVRemoteZEPProtocol(), 5.0), 0);

    // The caller's own bound, as the programs wait: a group and a safe wait.
    auto group = platform::dispatch::DispatchGroup::create();
    auto cell = std::make_shared<std::atomic<int>>(0);
    dispatch_group_safe_enter(group);
    NRVXPCProxy proxy = helper.remoteObjectProxyForService(service, [](const std::string&) {});
    ASSERT_TRUE(proxy);
    std::weak_ptr<platform::dispatch::DispatchGroup> weak = group;
    proxy->call("requestArchiveName:", {}, [cell, weak](const platform::xpc::Values&) {
        cell->fetch_add(1);
        if (auto g = weak.lock()) dispatch_group_safe_leave(g);
    });
    EXPECT_NE(dispatch_group_safe_wait(group, platform::dispatch::dispatchTime(0, 100 * 1000000ll)), 0);
    EXPECT_TRUE(eventually([&] { return cell->load() == 1; }));  // arrived late, harmlessly
    dispatch_group_safe_leave(group);

    // The second call makes the agent die with the call pending.
    auto outcome = askName(helper);
    ASSERT_TRUE(outcome.error);
    EXPECT_NE(outcome.error->find("invalidated"), std::string::npos) << *outcome.error;
    helper.disconnectService(service);
}
