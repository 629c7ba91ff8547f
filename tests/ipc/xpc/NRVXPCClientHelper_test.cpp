#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "ipc/IPCTestSupport.h"
#include "support/TestSupport.h"
#include "fakes/FakeServiceFixture.h"
#include "fakes/nrv-fake-service/FakeProtocols.h"
#include "foundation/NRVDispatchExtensions.h"
#include "ipc/xpc/NRVXPCClientConnection.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "ipc/xpc/NRVNerovaXPCBroker.h"
#include "ipc/xpc/NRVNerovaXPCInterfaceProtocol.h"
#include "ipc/xpc/NRVXPCNotifications.h"
#include "platform/value/HexString.h"
#include "support/TrustInputs.h"

using namespace std::chrono_literals;
using ipctest::callAndWait;
using ipctest::countLog;
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
    ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(f.get());
    EXPECT_EQ(NRVXPCClientHelper::sharedClientConnectionsForUnitTest().at(service)->numberOfRegisteredClient(), 2u);

    helper.disconnectService(service);
    second.disconnectService(service);
    EXPECT_TRUE(eventually([&] { return !NRVXPCClientHelper::sharedClientConnectionsForUnitTest().count(service); }));
    std::string error;
    EXPECT_FALSE(helper.remoteObjectProxyForService(service, [&](const std::string& e) { error = e; }));
    EXPECT_EQ(error, "Cannot find a connection object for the service '" + service + "'.");
}

// stop() ends the helper's connections (the service sees them end) and
// drops a connection no other helper uses; a second stop() changes nothing.
TEST_F(NRVXPCClientHelperTest, StopClosesTheHelpersConnectionsAndASecondStopIsHarmless) {
    ASSERT_TRUE(startRole("broker"));
    const std::string closings = runtimeRoot() + "/closings.txt";
    ASSERT_TRUE(startAgent({"--name=n", "--closings=" + closings}));

    std::atomic<int> calls{0};
    NRVXPCClientHelper helper;
    ASSERT_EQ(helper.connectAndWaitForFirstConnectionForService(service, fake::NRVRemoteZEPProtocol(), 5.0), 0);
    helper.connectService(service, fake::NRVRemoteZEPProtocol(), [&](NRVXPCProxy) { ++calls; });
    ASSERT_TRUE(eventually([&] { return calls.load() > 0; }));
    auto name = askName(helper);
    ASSERT_TRUE(name.reply) << name.error.value_or("timed out");
    EXPECT_EQ(testsupport::readText(closings), "");

    helper.stop();
    EXPECT_FALSE(NRVXPCClientHelper::sharedClientConnectionsForUnitTest().count(service));
    EXPECT_TRUE(eventually([&] { return testsupport::readText(closings) == "closed\n"; }));
    const int callsAtStop = calls.load();

    helper.stop();
    EXPECT_FALSE(NRVXPCClientHelper::sharedClientConnectionsForUnitTest().count(service));
    // Nothing runs for the helper after stop() has returned.
    EXPECT_EQ(calls.load(), callsAtStop);
    EXPECT_EQ(testsupport::readText(closings), "closed\n");
}

// The wait runs its whole limit whether or not a broker runs, so a broker
// and service that come up during the wait are found; timeout 0 has no limit;
// the status handler stays registered after the wait.
TEST_F(NRVXPCClientHelperTest, WaitRunsItsLimitWithoutABrokerAndFindsOneThatComesUp) {
    // Shared with the waiting thread, which may outlive a failed test.
    auto shared = std::make_shared<NRVXPCClientHelper>();
    NRVXPCClientHelper& helper = *shared;
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(helper.connectAndWaitForFirstConnectionForService(service, fake::NRVRemoteZEPProtocol(), 1.0), 0);
    EXPECT_GE(secondsSince(start), 0.95);
    auto table = NRVXPCClientHelper::sharedClientConnectionsForUnitTest();
    ASSERT_EQ(table.count(service), 1u);
    EXPECT_EQ(table.at(service)->numberOfRegisteredClient(), 1u);

    // Without a limit, still without a broker: the wait goes on until the
    // broker and then the service come up.
    auto result = std::make_shared<std::promise<long>>();
    auto waited = result->get_future();
    std::thread([shared, result, name = service] {
        result->set_value(shared->connectAndWaitForFirstConnectionForService(name, fake::NRVRemoteZEPProtocol(), 0));
    }).detach();
    // A short bound, proving only that the wait did not end on its own.
    EXPECT_EQ(waited.wait_for(1500ms), std::future_status::timeout);
    ASSERT_TRUE(startRole("broker"));
    ASSERT_TRUE(startAgent({"--name=late"}));
    ASSERT_EQ(waited.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(waited.get(), 0);
    auto name = askName(helper);
    ASSERT_TRUE(name.reply) << name.error.value_or("timed out");
    EXPECT_EQ(*name.reply, platform::xpc::Values{Value("late")});
    helper.disconnectService(service);

    // A broker without the service: the limit runs out.
    const std::string absent = service + ".absent";
    start = std::chrono::steady_clock::now();
    EXPECT_NE(helper.connectAndWaitForFirstConnectionForService(absent, fake::NRVRemoteZEPProtocol(), 1.0), 0);
    EXPECT_GE(secondsSince(start), 0.95);
    std::string error;
    EXPECT_FALSE(helper.remoteObjectProxyForService(absent, [&](const std::string& e) { error = e; }));
    EXPECT_EQ(error, "Cannot find a connection for the service '" + absent + "'.");
    helper.disconnectService(absent);
}

// A "registered" notice makes a disconnected client try again at once, but
// only for its own service name, and never while it is connected.
TEST_F(NRVXPCClientHelperTest, RegisteredNoticeRetriesOnlyForItsNameWhileDisconnected) {
    ASSERT_TRUE(startRole("broker"));
    std::mutex mutex;
    std::vector<bool> seen;
    NRVXPCClientHelper helper;
    helper.connectService(service, fake::NRVRemoteZEPProtocol(), [&](NRVXPCProxy p) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(p != nullptr);
    });
    const std::string retry = "Reconnect after 10 seconds. (Service name: " + service + ")";
    const std::string received = "Received registered notification for the xpc service name '" + service +
                                 "', and currently disconnected status. Retry immediately.";
    const std::string immediate = "Reconnect after 0 seconds. (Service name: " + service + ")";
    // No such service yet: the broker refuses, a retry waits 10 s.
    ASSERT_TRUE(eventually([&] { return countLog(logStore(), retry) == 1; }));

    auto registered = [](const std::string& name) {
        NRVDictionary info;
        info.set("registeredName", name);
        NRVXPCNotifications::post(NRVXPCNotifications::kRegistered, info);
    };
    // Another name first, then this one: only the second starts an attempt,
    // which the broker refuses again.
    registered(service + ".other");
    registered(service);
    ASSERT_TRUE(eventually([&] { return countLog(logStore(), retry) == 2; }));
    EXPECT_EQ(countLog(logStore(), received), 1u);
    EXPECT_EQ(countLog(logStore(), immediate), 1u);

    // The service's own registration connects the client.
    ASSERT_TRUE(startAgent({"--name=x"}));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen == std::vector<bool>{true};
    }, 10s));
    const std::size_t receivedBefore = countLog(logStore(), received);
    const std::size_t immediateBefore = countLog(logStore(), immediate);

    // Connected: the notice changes nothing. A second observer, added after
    // the connection's, shows when the notice has been delivered.
    auto delivered = std::make_shared<std::atomic<int>>(0);
    const std::uint64_t token = NRVXPCNotifications::addObserver(
        NRVXPCNotifications::kRegistered, [delivered, name = service](const NRVDictionary& info) {
            const NRVValue* v = info.find("registeredName");
            if (v && v->asString() && *v->asString() == name) delivered->fetch_add(1);
        });
    registered(service);
    ASSERT_TRUE(eventually([&] { return delivered->load() == 1; }));
    auto connection = NRVXPCClientHelper::sharedClientConnectionsForUnitTest().at(service);
    EXPECT_EQ(connection->connStatusForUnitTest(), NRVXPCClientConnection::Connected);
    EXPECT_EQ(countLog(logStore(), received), receivedBefore);
    EXPECT_EQ(countLog(logStore(), immediate), immediateBefore);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(seen, std::vector<bool>{true});
    }
    NRVXPCNotifications::removeObserver(token);
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

// A process refused as not the expected service ends the wait at once, with
// the failure, instead of the wait running out its limit: here the only
// process behind the service's endpoints is an unsigned impostor.
TEST_F(NRVXPCClientHelperTest, ARefusedServiceEndsTheWaitAtOnceWithTheFailure) {
    ASSERT_TRUE(startRole("broker"));
    // Not an agent's name: the client checks this service's signature.
    const std::string refused = "com.nerova.test.refused." + platform::randomLowercaseHex(8);
    const std::pair<std::string, std::string> endpoints{"nrvxpc." + platform::randomLowercaseHex(32),
                                                        "nrvxpc." + platform::randomLowercaseHex(32)};
    auto posted = std::make_shared<std::promise<std::optional<std::string>>>();
    NRVNerovaXPCBroker().postListenerEndpoint(NRVXPCEndpoint{endpoints.first}, NRVXPCEndpoint{endpoints.second},
                                              refused, [posted](auto error) { posted->set_value(error); });
    auto f = posted->get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    ASSERT_EQ(f.get(), std::nullopt);
    const pid_t taker = startImpostor(impostorPrograms().front(), refused, endpoints, runtimeRoot() + "/refused.txt");
    ASSERT_GT(taker, 0);

    NRVXPCClientHelper helper;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(helper.connectAndWaitForFirstConnectionForService(refused, NRVServiceStatusProtocol(), 60.0), 0);
    // Generous for a loaded machine, far below the limit.
    EXPECT_LT(secondsSince(start), 20.0);
    EXPECT_GE(countLog(logStore(), "Connection to '" + refused + "' (pid: " + std::to_string(taker) +
                                       ") is not the expected service. Drop it."),
              1u);
    EXPECT_EQ(helper.remoteObjectProxyForService(refused), nullptr);
    helper.disconnectService(refused);
}

// A client run by an ordinary user cannot read the executable of a root
// service (it marks itself not dumpable), so it takes a root service on its
// user alone: no ordinary user can run a process as root. A process of
// another ordinary user on a dead root service's endpoints, even the genuine
// signed program, is still refused, and gets no call but the status call.
TEST_F(NRVXPCClientHelperTest, AClientOfAnOrdinaryUserReachesARootServiceAndRefusesAnotherUsersProcess) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the client and the impostor as other users";
    if (auto why = testsupport::unprivilegedUserCannotRun(fakeServicePath())) GTEST_SKIP() << *why;
    testsupport::trust::ScopedLocalUser impostorUser;
    ASSERT_TRUE(impostorUser.ok()) << impostorUser.why();

    // The client (the unprivileged user) and the impostor reach the runtime
    // root; each logs and records into a folder of its own.
    ASSERT_EQ(0, ::chmod(runtimeRoot().c_str(), 0711));
    struct Restore {
        std::string root;
        ~Restore() { ::chmod(root.c_str(), 0700); }
    } restore{runtimeRoot()};
    const std::string clientFolder = runtimeRoot() + "/client";
    const std::string impostorFolder = runtimeRoot() + "/impostor";
    std::filesystem::create_directories(clientFolder);
    std::filesystem::create_directories(impostorFolder);
    ASSERT_EQ(0, ::chown(clientFolder.c_str(), 65534, 65534));
    ASSERT_EQ(0, ::chown(impostorFolder.c_str(), impostorUser.uid(), impostorUser.gid()));
    const std::string clientLog = clientFolder + "/unified.log";
    const std::string service = "com.nerova.configxpc";
    auto probe = [&] {
        return testsupport::runProgramAsUnprivilegedUser(
            {fakeServicePath(), "--role=probe", "--service=" + service, "--runtime-root=" + runtimeRoot()},
            {{"NRV_LOG_STORE", clientLog}}, clientFolder);
    };

    ASSERT_GT(startRole("broker"), 0);
    const pid_t genuine = startRole("settings");
    ASSERT_GT(genuine, 0);
    const auto reached = probe();
    EXPECT_EQ(reached.out, "CONNECTED\n") << reached.err;
    EXPECT_EQ(reached.status, 0);

    const auto endpoints = endpointsOf(service);
    ASSERT_FALSE(endpoints.first.empty());
    stopRole(genuine, SIGKILL);
    const std::string record = impostorFolder + "/calls.txt";
    const pid_t taker = startRoleFrom(fakeServicePath(), "impostor",
                                      {"--service=" + service, "--endpoint=" + endpoints.first,
                                       "--control-endpoint=" + endpoints.second, "--record=" + record},
                                      {"/usr/bin/setpriv", "--reuid=" + std::to_string(impostorUser.uid()),
                                       "--regid=" + std::to_string(impostorUser.gid()), "--clear-groups"});
    ASSERT_GT(taker, 0);
    const auto taken = probe();
    EXPECT_EQ(taken.out, "REFUSED\n") << taken.err;
    EXPECT_EQ(countLog(clientLog, "The process " + std::to_string(taker) + " serving '" + service + "' runs as user " +
                                      std::to_string(impostorUser.uid()) + ", not as user 0."),
              1u);
    EXPECT_EQ(countLog(clientLog, "Connection to '" + service + "' (pid: " + std::to_string(taker) +
                                      ") is not the expected service. Drop it."),
              1u);
    const auto calls = testsupport::lines(testsupport::readText(record));
    EXPECT_FALSE(calls.empty());
    for (const auto& line : calls) EXPECT_EQ(line, "statusWithReply:");
    stopRole(taker);
}
