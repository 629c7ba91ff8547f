#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "IPCTestSupport.h"
#include "fakes/FakeServiceFixture.h"
#include "foundation/NSProcessInfoExtensions.h"
#include "ipc/NRVNerovaXPCBroker.h"
#include "ipc/NRVNerovaXPCInterfaceProtocol.h"
#include "ipc/NRVXPCNotifications.h"
#include "ipc/NRVXPCServiceHelper.h"
#include "support/Signing.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using ipctest::countLog;
using ipctest::eventually;
using platform::xpc::Connection;
using platform::xpc::Value;
using platform::xpc::Values;
namespace cs = platform::codesign;
namespace sig = testsupport::signing;

namespace {

class NRVXPCServiceHelperTest : public FakeServiceFixture {
protected:
    std::shared_ptr<NRVXPCServiceHelper> helper = NRVXPCServiceHelper::sharedHelper();

    bool registered(const std::string& name) {
        return eventually([&] {
            auto table = helper->listenerTableForUnitTest();
            auto it = table.find(name);
            return it != table.end() && it->second;
        });
    }
    bool gone(const std::string& name) {
        return eventually([&] { return !helper->listenerTableForUnitTest().count(name); });
    }
    std::string posted(const std::string& name) {
        return "Successfully post listener endpoint for the service '" + name + "'";
    }
    // What the broker hands out for a name: (endpoint, control endpoint, error).
    auto lookUp(const std::string& name) {
        using Result = std::tuple<std::optional<NRVXPCEndpoint>, std::optional<NRVXPCEndpoint>, std::optional<std::string>>;
        auto promise = std::make_shared<std::promise<Result>>();
        NRVNerovaXPCBroker().requestListenerEndpointForService(name, [promise](auto e, auto c, auto error) {
            promise->set_value(Result{e, c, error});
        });
        auto f = promise->get_future();
        EXPECT_EQ(f.wait_for(5s), std::future_status::ready);
        return f.get();
    }
    ipctest::Outcome status(const NRVXPCEndpoint& control) {
        auto c = Connection::createForEndpoint(control);
        c->setRemoteInterface(NRVServiceStatusProtocol());
        c->resume();
        auto outcome = ipctest::callAndWait(
            [&](auto onError) {
                return c->remoteObjectProxyWithErrorHandler([onError](const auto& e) { onError(e.description); });
            },
            "statusWithReply:", {});
        c->invalidate();
        return outcome;
    }
};

std::shared_ptr<platform::xpc::ExportedObject> silentObject() { return std::make_shared<platform::xpc::ExportedObject>(); }

}  // namespace

TEST_F(NRVXPCServiceHelperTest, ControlChannelAnswersTheVersionAndABrokerRestartRepostsServicesOnly) {
    ASSERT_TRUE(startRole("broker"));
    // A service whose own name ends in "control" is a service, not a control channel.
    const std::string a = "com.nerova.test.repost", b = "com.nerova.test.remote.control";
    helper->startService(a, silentObject(), NRVServiceStatusProtocol());
    helper->startService(b, silentObject(), NRVServiceStatusProtocol());
    ASSERT_TRUE(registered(a));
    ASSERT_TRUE(registered(b));

    auto [endpoint, control, error] = lookUp(a);
    ASSERT_TRUE(endpoint && control) << error.value_or("");
    auto version = status(*control);
    ASSERT_TRUE(version.reply) << version.error.value_or("timed out");
    EXPECT_EQ(*version.reply, Values{Value("1.5")});
    // The accepted peer (this process) is named in the log with its user.
    EXPECT_EQ(countLog(logStore(), "Received a new connection from pid: " + std::to_string(::getpid()) + ", username: " +
                                       *NSProcessInfoExtensions::posixNameForUid(::getuid()) + ", for service: '" + a +
                                       ".control'"),
              1u);

    EXPECT_EQ(countLog(logStore(), posted(a)), 1u);
    NRVXPCNotifications::post(NRVXPCNotifications::kServerDidStart, NRVDictionary());
    EXPECT_TRUE(eventually([&] { return countLog(logStore(), posted(a)) == 2 && countLog(logStore(), posted(b)) == 2; }));
    EXPECT_EQ(countLog(logStore(), posted(a + ".control")), 0u);
    EXPECT_EQ(countLog(logStore(), posted(b + ".control")), 0u);

    // A registration request re-posts that one service.
    NRVDictionary request;
    request.set("requestName", a);
    NRVXPCNotifications::post(NRVXPCNotifications::kRegistration, request);
    EXPECT_TRUE(eventually([&] { return countLog(logStore(), posted(a)) == 3; }));
    EXPECT_EQ(countLog(logStore(), posted(b)), 2u);

    helper->stopService(a);
    helper->stopService(b);
    EXPECT_TRUE(gone(a) && gone(a + ".control") && gone(b) && gone(b + ".control"));
}

// A broker that refuses the endpoints is asked again after the retry delay
// until the service stops; the next retry then ends the loop.
TEST_F(NRVXPCServiceHelperTest, RefusedPostsAreRetriedUntilTheServiceStops) {
    ASSERT_TRUE(startRole("broker", {"--reply=no"}));
    helper->setRetryDelayForUnitTest(200ms);
    struct Restore {
        std::shared_ptr<NRVXPCServiceHelper> helper;
        ~Restore() { helper->setRetryDelayForUnitTest(30s); }
    } restore{helper};
    const std::string name = "com.nerova.test.refused";
    const std::string failed = "Failed to post listener endpoint for the service '" + name +
                               "'. Error: The broker refuses registrations.";
    const std::string stopped = "Service '" + name + "' is stopped. Stop posting listener endpoint.";
    // Counted from here: a repeated run of this test shares the log store.
    const std::size_t failedBefore = countLog(logStore(), failed), stoppedBefore = countLog(logStore(), stopped);
    helper->startService(name, silentObject(), NRVServiceStatusProtocol());
    ASSERT_TRUE(eventually([&] { return countLog(logStore(), failed) >= failedBefore + 3; }));
    EXPECT_FALSE(helper->listenerTableForUnitTest().at(name));

    helper->stopService(name);
    ASSERT_TRUE(eventually([&] { return countLog(logStore(), stopped) == stoppedBefore + 1; }));
    const std::size_t failures = countLog(logStore(), failed);
    // No post may follow: three retry delays, a short bound for something
    // that must not happen.
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(countLog(logStore(), failed), failures);
    EXPECT_EQ(countLog(logStore(), stopped), stoppedBefore + 1);
    EXPECT_EQ(countLog(logStore(), posted(name)), 0u);
}

TEST_F(NRVXPCServiceHelperTest, StartingANameAgainRetiresTheOldListener) {
    ASSERT_TRUE(startRole("broker"));
    const std::string name = "com.nerova.test.replace";
    helper->startService(name, silentObject(), NRVServiceStatusProtocol());
    ASSERT_TRUE(registered(name));
    auto oldControl = *helper->listenerEndpointForUnitTest(name + ".control");
    auto oldService = *helper->listenerEndpointForUnitTest(name);
    helper->startService(name, silentObject(), NRVServiceStatusProtocol());
    ASSERT_TRUE(eventually([&] { return helper->listenerEndpointForUnitTest(name) != oldService; }));
    ASSERT_TRUE(registered(name));

    EXPECT_TRUE(status(oldControl).error);
    auto [endpoint, control, error] = lookUp(name);
    ASSERT_TRUE(control);
    EXPECT_NE(*control, oldControl);
    EXPECT_TRUE(status(*control).reply);
    helper->stopService(name);
    EXPECT_TRUE(gone(name));
}

// Every signature case of a peer, on both sides: a client refusing a broker
// that is not the maker's, and a service refusing a client that is not.
TEST_F(NRVXPCServiceHelperTest, PeersAreCheckedOnBothSides) {
    const std::string peers = peersFolder();
    auto notHardened = sig::makerOptions("com.nerova.fake");
    notHardened.hardenedRuntime = false;
    auto entitled = sig::makerOptions("com.nerova.fake");
    entitled.entitlements.set("com.apple.security.get-task-allow", NRVValue(true));

    struct Case {
        const char* name;
        std::function<void(const std::string&)> sign;
        bool maker;     // passes the signer check (the broker check is only this)
        bool hardened;  // passes the hardened-runtime check
    } cases[] = {
        {"correct", [](auto& f) { ASSERT_TRUE(cs::signFile(f, sig::makerOptions("com.nerova.fake"))); }, true, true},
        {"missing signature file", [](auto&) {}, false, false},
        {"tampered",
         [](auto& f) {
             ASSERT_TRUE(cs::signFile(f, sig::makerOptions("com.nerova.fake")));
             std::filesystem::resize_file(f, std::filesystem::file_size(f) + 1);
         },
         false, false},
        {"other team", [](auto& f) { ASSERT_TRUE(cs::signFile(f, sig::otherTeamOptions("com.other.fake"))); }, false, true},
        {"not hardened", [&](auto& f) { ASSERT_TRUE(cs::signFile(f, notHardened)); }, true, false},
        {"unwanted entitlement", [&](auto& f) { ASSERT_TRUE(cs::signFile(f, entitled)); }, true, false},
    };

    pid_t broker = startRole("broker");
    ASSERT_TRUE(broker);
    const std::string service = "com.nerova.test.guarded";
    helper->startService(service, silentObject(), NRVServiceStatusProtocol());
    ASSERT_TRUE(registered(service));

    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string copy = peers + "/fake" + std::to_string(n++);
        std::filesystem::create_directories(peers);
        std::filesystem::copy_file(fakeServicePath(), copy);
        std::filesystem::permissions(copy, std::filesystem::perms(0755));
        c.sign(copy);

        ASSERT_TRUE(eventually([&] { return std::get<0>(lookUp(service)).has_value(); }));
        // The copy as a client of the service of this process.
        auto probe = testsupport::runProgram({copy, "--role=probe", "--service=" + service,
                                              "--runtime-root=" + runtimeRoot()});
        const bool admitted = c.maker && c.hardened;
        EXPECT_EQ(probe.status, admitted ? 0 : 1) << probe.out << probe.err;
        EXPECT_EQ(probe.out, admitted ? "CONNECTED\n" : "REFUSED\n");
        const auto messages = ipctest::logMessages(logStore());
        bool codesignLine = false;
        for (const auto& m : messages)
            codesignLine |= m.rfind("Invalid codesign detected for pid '", 0) == 0 &&
                            m.find("', drop the xpc connection.") != std::string::npos;
        EXPECT_EQ(codesignLine, !c.maker);

        // The copy as the broker, asked by this process.
        stopRole(broker);
        pid_t bad = startRoleFrom(copy, "broker");
        ASSERT_TRUE(bad);
        auto promise = std::make_shared<std::promise<std::optional<std::string>>>();
        NRVNerovaXPCBroker().versionWithReply([promise](auto, auto error) { promise->set_value(error); });
        auto f = promise->get_future();
        ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
        auto error = f.get();
        if (c.maker) {
            EXPECT_FALSE(error) << *error;
        } else {
            ASSERT_TRUE(error);
            EXPECT_EQ(*error, "Invalid codesign detected. (pid: " + std::to_string(bad) + ").");
        }
        stopRole(bad);
        broker = startRole("broker");
        ASSERT_TRUE(broker);
        std::filesystem::remove(logStore());
        ASSERT_TRUE(eventually([&] { return std::get<0>(lookUp(service)).has_value(); }));
    }
    // The knob that drops the fake's own signature.
    stopRole(broker);
    pid_t unsignedBroker = startRole("broker", {"--unsigned"});
    ASSERT_TRUE(unsignedBroker);
    auto promise = std::make_shared<std::promise<std::optional<std::string>>>();
    NRVNerovaXPCBroker().versionWithReply([promise](auto, auto error) { promise->set_value(error); });
    auto f = promise->get_future();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(f.get(), "Invalid codesign detected. (pid: " + std::to_string(unsignedBroker) + ").");

    helper->stopService(service);
    EXPECT_TRUE(gone(service));
}
