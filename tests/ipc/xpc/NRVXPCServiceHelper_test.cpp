#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <sstream>
#include <thread>

#include "ipc/IPCTestSupport.h"
#include "fakes/FakeServiceFixture.h"
#include "foundation/NSProcessInfoExtensions.h"
#include "ipc/xpc/NRVNerovaXPCBroker.h"
#include "ipc/xpc/NRVNerovaXPCInterfaceProtocol.h"
#include "ipc/xpc/NRVXPCNotifications.h"
#include "ipc/trust/NRVXPCPeerTrust.h"
#include "ipc/xpc/NRVXPCServiceHelper.h"
#include "platform/xpc/XPCPeer.h"
#include "platform/process/CodeIntegrity.h"
#include "support/ChildProcess.h"
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
        EXPECT_EQ(f.wait_for(30s), std::future_status::ready);
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

// Runs a probe that the service of this process should refuse, logging
// `refusal`. A refused client is dropped and tries again until its limit, so
// the probe is ended once the line is in the log (or after a bound for a
// loaded machine, below the probe's own 60 s): it must not have connected,
// and the service must not have admitted it.
testsupport::ProgramResult runRefusedProbe(const std::function<testsupport::ProgramResult()>& run,
                                           const std::string& store, const std::string& service,
                                           const std::string& refusal) {
    auto running = std::async(std::launch::async, run);
    const std::string connected = "Received a new connection from pid: ";
    const std::string forService = ", for service: '" + service + "'";
    pid_t pid = 0;
    bool logged = false;
    eventually(
        [&] {
            for (const auto& m : ipctest::logMessages(store)) {
                if (!pid && m.rfind(connected, 0) == 0 && m.find(forService) != std::string::npos)
                    pid = static_cast<pid_t>(std::stol(m.substr(connected.size())));
                logged |= m.find(refusal) != std::string::npos;
            }
            return pid && logged;
        },
        50s);
    if (pid) ::kill(pid, SIGKILL);
    auto result = running.get();
    EXPECT_TRUE(logged) << "the service did not log: " << refusal;
    EXPECT_EQ(countLog(store, "Found a handler object for service '" + service + "'"), 0u) << "admitted";
    return result;
}

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

    const std::string badSignature = "Invalid codesign detected for pid '";
    struct Case {
        const char* name;
        std::function<void(const std::string&)> sign;
        bool maker;     // passes the signer check (the broker check is only this)
        bool hardened;  // passes the hardened-runtime check
        std::string refusal;  // the service's line when it refuses the copy
    } cases[] = {
        {"correct", [](auto& f) { ASSERT_TRUE(cs::signFile(f, sig::makerOptions("com.nerova.fake"))); }, true, true, ""},
        {"missing signature file", [](auto&) {}, false, false, badSignature},
        {"tampered",
         [](auto& f) {
             ASSERT_TRUE(cs::signFile(f, sig::makerOptions("com.nerova.fake")));
             std::filesystem::resize_file(f, std::filesystem::file_size(f) + 1);
         },
         false, false, badSignature},
        {"other team", [](auto& f) { ASSERT_TRUE(cs::signFile(f, sig::otherTeamOptions("com.other.fake"))); }, false,
         true, badSignature},
        {"not hardened", [&](auto& f) { ASSERT_TRUE(cs::signFile(f, notHardened)); }, true, false,
         "Hardened runtime is not set for the connecting process"},
        {"unwanted entitlement", [&](auto& f) { ASSERT_TRUE(cs::signFile(f, entitled)); }, true, false,
         "The problematic `com.apple.security.get-task-allow` entitlement is enabled"},
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
        const std::vector<std::string> probeArgs = {copy, "--role=probe", "--service=" + service,
                                                    "--runtime-root=" + runtimeRoot()};
        const bool admitted = c.maker && c.hardened;
        if (admitted) {
            auto probe = testsupport::runProgram(probeArgs);
            EXPECT_EQ(probe.status, 0) << probe.out << probe.err;
            EXPECT_EQ(probe.out, "CONNECTED\n");
        } else {
            auto probe = runRefusedProbe([&] { return testsupport::runProgram(probeArgs); }, logStore(), service,
                                         c.refusal);
            EXPECT_EQ(probe.out, "") << probe.err;
        }
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
        ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
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
    ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(f.get(), "Invalid codesign detected. (pid: " + std::to_string(unsignedBroker) + ").");

    helper->stopService(service);
    EXPECT_TRUE(gone(service));
}

namespace {

// Runs a program as runProgram does, but traced from its first instruction
// by this process, which lets it run on until it exits.
testsupport::ProgramResult runTraced(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int out[2];
    testsupport::ProgramResult result;
    if (pipe2(out, O_CLOEXEC) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        dup2(out[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::thread reader([&] {
        char buf[256];
        ssize_t r;
        while ((r = read(out[0], buf, sizeof buf)) > 0) result.out.append(buf, static_cast<std::size_t>(r));
    });
    int status = 0;
    while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        const int sig = WSTOPSIG(status);
        // The stop at exec is the tracer's own; every other signal goes on to the child.
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(sig == SIGTRAP ? 0 : sig)));
    }
    reader.join();
    close(out[0]);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// Starts a program that prints nothing and ends it in the destructor.
struct Spawned {
    pid_t pid = 0;
    explicit Spawned(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid = 0;
    }
    ~Spawned() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

// Whether process `pid` has finished its exec into `path`: its executable
// link names the file and the file is mapped as code. The link changes
// before the new program is mapped; until then the kernel is still
// replacing the old program, and a check sees neither.
bool finishedExecInto(pid_t pid, const std::string& path) {
    const std::string expected = std::filesystem::weakly_canonical(path).string();
    if (platform::process::executablePath(pid) != expected) return false;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        // address perms offset dev inode path
        std::istringstream fields(line);
        std::string address, perms, offset, dev, inode, file;
        fields >> address >> perms >> offset >> dev >> inode >> file;
        if (perms.size() > 2 && perms[2] == 'x' && file == expected) return true;
    }
    return false;
}

// The first line of the log that starts with `prefix`, or "".
std::string logLineStartingWith(const std::string& store, const std::string& prefix) {
    for (const auto& m : ipctest::logMessages(store))
        if (m.rfind(prefix, 0) == 0) return m;
    return "";
}

}  // namespace

// A call is executed only when the program that was checked wrote it: an
// unsigned program writes a call and then becomes a signed, hardened program
// of the maker, which the check then sees. The call never runs.
TEST_F(NRVXPCServiceHelperTest, ACallWrittenBeforeAnExecIntoASignedProgramNeverRuns) {
    ASSERT_TRUE(startRole("broker"));
    const std::string service = "com.nerova.test.execafterconnect";
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto object = std::make_shared<platform::xpc::ExportedObject>();
    object->on("statusWithReply:", [calls](const Values&, const platform::xpc::Reply& reply) {
        ++*calls;
        reply({Value("1.5")});
    });
    helper->startService(service, object, NRVServiceStatusProtocol());
    ASSERT_TRUE(registered(service));
    auto [endpoint, control, error] = lookUp(service);
    ASSERT_TRUE(endpoint) << error.value_or("");

    std::filesystem::create_directories(peersFolder());
    const std::string testee = peersFolder() + "/signed-testee";
    sig::placeTestee(testee);
    ASSERT_TRUE(cs::signFile(testee, sig::makerOptions("com.nerova.fake")));

    // The check waits until the attacker has become the testee, as it would
    // whenever the exec wins the race with the check.
    helper->setPeerCheckHookForUnitTest([testee](int pid) { sig::waitForExec(pid, testee); });
    struct Restore {
        std::shared_ptr<NRVXPCServiceHelper> helper;
        ~Restore() { helper->setPeerCheckHookForUnitTest(nullptr); }
    } restore{helper};
    std::filesystem::remove(logStore());
    {
        // The attacker runs unsigned; the testee it becomes waits until it is ended.
        Spawned attacker({fakeServicePath(), "--role=exec-after-connect", "--unsigned", "--endpoint=" + endpoint->name,
                          "--runtime-root=" + runtimeRoot(), "--", testee});
        ASSERT_GT(attacker.pid, 0);
        EXPECT_TRUE(eventually([&] { return !logLineStartingWith(logStore(), "Closing ").empty(); }));
    }
    const std::string line = logLineStartingWith(logStore(), "Closing ");
    EXPECT_NE(line.find(" wrote before it was checked."), std::string::npos) << line;
    // The check itself passed: it saw the signed program.
    EXPECT_EQ(logLineStartingWith(logStore(), "Invalid codesign detected"), "");
    EXPECT_EQ(logLineStartingWith(logStore(), "Found a handler object for service '" + service + "'"),
              "Found a handler object for service '" + service + "'");
    EXPECT_EQ(calls->load(), 0);
    helper->stopService(service);
}

// Hardened means unmodified while it runs: a signed, hardened client of the
// maker is refused while it is traced, when it maps a library others may
// write, and when it lives in another user namespace (where it could point
// its executable link at any file). A preloaded system library is no reason.
TEST_F(NRVXPCServiceHelperTest, PeersThatMayRunModifiedCodeAreRefused) {
    ASSERT_TRUE(startRole("broker"));
    const std::string service = "com.nerova.test.hardened";
    helper->startService(service, silentObject(), NRVServiceStatusProtocol());
    ASSERT_TRUE(registered(service));
    ASSERT_TRUE(eventually([&] { return std::get<0>(lookUp(service)).has_value(); }));

    // A system library copied where others may write it.
    const std::string systemLibrary = "/lib/x86_64-linux-gnu/libm.so.6";
    ASSERT_TRUE(std::filesystem::exists(systemLibrary));
    std::filesystem::create_directories(peersFolder());
    const std::string writable = peersFolder() + "/libm-copy.so.6";
    std::filesystem::copy_file(systemLibrary, writable, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(writable, std::filesystem::perms(0666));

    const std::vector<std::string> probe = {fakeServicePath(), "--role=probe", "--service=" + service,
                                            "--runtime-root=" + runtimeRoot()};
    struct Case {
        const char* name;
        std::function<testsupport::ProgramResult()> run;
        const char* problem;  // in the refusal's log line; nullptr: admitted
    } cases[] = {
        {"plain", [&] { return testsupport::runProgram(probe); }, nullptr},
        {"system library preloaded", [&] { return testsupport::runProgram(probe, {{"LD_PRELOAD", systemLibrary}}); },
         nullptr},
        {"traced", [&] { return runTraced(probe); }, " is traced by process "},
        {"library others may write preloaded",
         [&] { return testsupport::runProgram(probe, {{"LD_PRELOAD", writable}}); },
         " maps code from a file that others may write: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
#if defined(__SANITIZE_ADDRESS__)
        // The address sanitizer's runtime must be the first library loaded:
        // a probe built with it refuses to start with anything preloaded.
        if (std::string(c.name).find("preloaded") != std::string::npos) continue;
#endif
        std::filesystem::remove(logStore());
        if (!c.problem) {
            auto result = c.run();
            EXPECT_EQ(result.out, "CONNECTED\n") << result.err;
        } else {
            auto result = runRefusedProbe(c.run, logStore(), service, "The connecting process may run modified code: ");
            EXPECT_EQ(result.out, "") << result.err;
            const std::string line = logLineStartingWith(logStore(), "The connecting process may run modified code: ");
            EXPECT_NE(line.find(c.problem), std::string::npos) << line;
        }
    }

    // In a user namespace of its own a process may repoint its executable
    // link: the signed testee it becomes is refused there, and admitted here.
    // (It connects directly: from inside, it could not check the broker.)
    const std::string testee = peersFolder() + "/signed-testee";
    sig::placeTestee(testee);
    ASSERT_TRUE(cs::signFile(testee, sig::makerOptions("com.nerova.fake")));
    auto [endpoint, control, error] = lookUp(service);
    ASSERT_TRUE(endpoint) << error.value_or("");
    const std::vector<std::string> connectOnly = {fakeServicePath(), "--role=exec-after-connect", "--no-call",
                                                  "--endpoint=" + endpoint->name, "--", testee};
    const std::string refused = "Invalid codesign detected for pid '";
    const std::string admitted = "Found a handler object for service '" + service + "'";
    // The peer connects and then becomes the testee: its check waits until
    // the exec is over, as it would whenever the check comes later. A check
    // in the middle of the exec refuses for a reason of its own.
    helper->setPeerCheckHookForUnitTest([testee](int pid) {
        testsupport::waitUntil([&] { return finishedExecInto(pid, testee); }, std::chrono::seconds(30));
    });
    struct Restore {
        std::shared_ptr<NRVXPCServiceHelper> helper;
        ~Restore() { helper->setPeerCheckHookForUnitTest(nullptr); }
    } restore{helper};
    for (bool ownNamespace : {false, true}) {
        SCOPED_TRACE(ownNamespace ? "own user namespace" : "this user namespace");
        std::filesystem::remove(logStore());
        std::vector<std::string> args;
        if (ownNamespace) args = {"/usr/bin/unshare", "--user", "--map-root-user"};
        args.insert(args.end(), connectOnly.begin(), connectOnly.end());
        Spawned peer(args);
        ASSERT_GT(peer.pid, 0);
        ASSERT_TRUE(eventually([&] {
            return !logLineStartingWith(logStore(), refused).empty() || !logLineStartingWith(logStore(), admitted).empty();
        }));
        EXPECT_EQ(logLineStartingWith(logStore(), refused).empty(), !ownNamespace);
    }
    helper->stopService(service);
}

// An ordinary user's program enters a user namespace of its own, where it
// may change its own memory map: it moves its code off its file, repoints its
// executable link at a signed program of the maker, maps that program as code
// too, and connects. The service refuses it, for its namespace. Where the
// kernel refuses the repointing, the test still shows that a peer in another
// user namespace is refused, and says so.
TEST_F(NRVXPCServiceHelperTest, APeerThatRepointsItsExecutableFromItsOwnUserNamespaceIsRefused) {
    ASSERT_TRUE(startRole("broker"));
    const std::string service = "com.nerova.test.exeswap";
    helper->startService(service, silentObject(), NRVServiceStatusProtocol());
    ASSERT_TRUE(registered(service));
    auto [endpoint, control, error] = lookUp(service);
    ASSERT_TRUE(endpoint) << error.value_or("");
    const std::string testee = peersFolder() + "/signed-testee-swap";
    sig::placeTestee(testee);
    ASSERT_TRUE(cs::signFile(testee, sig::makerOptions("com.nerova.fake")));

    testsupport::ChildProcess attacker(
        {std::string(NRV_BIN_DIR) + "/nrv-exe-swap", "--exe=" + testee, "--endpoint=" + endpoint->name});
    ASSERT_TRUE(attacker.running());
    const auto entered = attacker.readLine(10s);
    ASSERT_TRUE(entered);
    if (entered->rfind("namespace: refused", 0) == 0) GTEST_SKIP() << "no user namespaces here (" << *entered << ")";
    ASSERT_EQ(*entered, "namespace: entered");
    const auto exe = attacker.readLine(10s);
    const auto swap = attacker.readLine(10s);
    const auto verdict = attacker.readLine(30s);
    ASSERT_TRUE(exe && swap && verdict);
    const bool swapped = *swap == "swap: done";
    if (swapped) {
        EXPECT_EQ(*exe, "exe: " + std::filesystem::canonical(testee).string());
    }
    std::cout << "[   NOTE   ] "
              << (swapped ? "the executable link was repointed at the signed program"
                          : "the kernel refused the repointing (" + *swap + "); only the user namespace is shown")
              << std::endl;
    RecordProperty("executable_link", swapped ? "repointed" : *swap);

    EXPECT_EQ(*verdict, "REFUSED");
    const std::string pid = std::to_string(attacker.pid());
    EXPECT_TRUE(eventually([&] {
        return countLog(logStore(), "Invalid codesign detected for pid '" + pid + "', drop the xpc connection.") == 1;
    }));
    // The check's reason for this process, which maps the signed file as code.
    struct stat st {};
    ASSERT_EQ(0, ::stat(testee.c_str(), &st));
    EXPECT_EQ(platform::process::executableMappingProblem(attacker.pid(), st.st_dev, st.st_ino),
              "process " + pid + " runs in another user namespace");
    helper->stopService(service);
}

// The checks of one peer hold up no other: while one peer's check is held
// (as a check of a very large file would be), another peer connects.
TEST_F(NRVXPCServiceHelperTest, ASlowPeerCheckHoldsUpNoOtherPeer) {
    ASSERT_TRUE(startRole("broker"));
    const std::string service = "com.nerova.test.slowcheck";
    helper->startService(service, silentObject(), NRVServiceStatusProtocol());
    ASSERT_TRUE(registered(service));
    ASSERT_TRUE(eventually([&] { return std::get<0>(lookUp(service)).has_value(); }));

    auto held = std::make_shared<std::promise<void>>();
    auto release = std::make_shared<std::promise<void>>();
    auto releaseFuture = release->get_future().share();
    // Every check of the first peer (both its connections) waits.
    auto first = std::make_shared<std::atomic<int>>(0);
    helper->setPeerCheckHookForUnitTest([held, releaseFuture, first](int pid) {
        int expected = 0;
        if (!first->compare_exchange_strong(expected, pid) && expected != pid) return;
        if (expected == 0) held->set_value();
        releaseFuture.wait();
    });
    struct Restore {
        std::shared_ptr<NRVXPCServiceHelper> helper;
        std::shared_ptr<std::promise<void>> release;
        ~Restore() {
            helper->setPeerCheckHookForUnitTest(nullptr);
            try {
                release->set_value();
            } catch (const std::future_error&) {
            }
        }
    } restore{helper, release};

    // The first check stays held until the other probe has ended, so a held
    // check that held up other peers fails the test whatever the probe's
    // limit: the limit is only what a connection may take on a loaded,
    // sanitized machine, where each probe also checks this large test
    // program's signature before it counts as connected.
    const std::vector<std::string> probe = {fakeServicePath(), "--role=probe", "--service=" + service,
                                            "--runtime-root=" + runtimeRoot(), "--limit-seconds=60"};
    auto slow = std::async(std::launch::async, [&] { return testsupport::runProgram(probe); });
    ASSERT_EQ(held->get_future().wait_for(60s), std::future_status::ready);
    auto other = testsupport::runProgram(probe);
    EXPECT_EQ(other.out, "CONNECTED\n") << other.err;
    release->set_value();
    EXPECT_EQ(slow.get().status, 0);
    helper->stopService(service);
}

// Which user a client expects behind a service: root for the broker and the
// product's services, the login user for the per-user agent; a test policy
// may name one user for all (its fakes run as root).
TEST(NRVXPCPeerTrust, ExpectedUserOfAService) {
    cs::TrustPolicy policy = cs::TrustPolicy::compiledIn();
    EXPECT_EQ(NRVXPCPeerTrust::expectedUserOfService("com.nerova.xpc.broker", policy), 0u);
    EXPECT_EQ(NRVXPCPeerTrust::expectedUserOfService("com.nerova.configxpc", policy), 0u);
    EXPECT_EQ(NRVXPCPeerTrust::expectedUserOfService("com.nerova.remote.zep.nobody", policy), 65534u);
    EXPECT_EQ(NRVXPCPeerTrust::expectedUserOfService("com.nerova.remote.zep.no-such-user-here", policy), std::nullopt);
    policy.serviceUser = 1234;
    EXPECT_EQ(NRVXPCPeerTrust::expectedUserOfService("com.nerova.xpc.broker", policy), 1234u);
    EXPECT_EQ(NRVXPCPeerTrust::expectedUserOfService("com.nerova.remote.zep.nobody", policy), 1234u);
}

// The genuine broker program, run by an ordinary user, can only listen in a
// runtime root of that user's: a root client refuses to connect there, so no
// call ever reaches it. (In root's runtime root the user could not bind the
// broker's name at all.)
TEST_F(NRVXPCServiceHelperTest, ABrokerRunByAnOrdinaryUserIsNeverReached) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the broker as another user";
    if (auto why = testsupport::unprivilegedUserCannotRun(fakeServicePath())) GTEST_SKIP() << *why;
    const std::string theirs = runtimeRoot() + "/theirs";
    std::filesystem::create_directories(theirs);
    ASSERT_EQ(0, ::chown(theirs.c_str(), 65534, 65534));
    ASSERT_EQ(0, ::chmod(theirs.c_str(), 0755));
    ASSERT_EQ(0, ::chmod(runtimeRoot().c_str(), 0711));
    struct Restore {
        std::string root;
        ~Restore() {
            ::chmod(root.c_str(), 0700);
            ::setenv("NRV_RUNTIME_ROOT", root.c_str(), 1);
        }
    } restore{runtimeRoot()};
    ::setenv("NRV_RUNTIME_ROOT", theirs.c_str(), 1);

    pid_t broker = startRoleFrom(fakeServicePath(), "broker", {"--runtime-root=" + theirs},
                                 {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    ASSERT_TRUE(broker);
    ASSERT_TRUE(platform::xpc::serviceSocketExists("com.nerova.xpc.broker"));
    auto promise = std::make_shared<std::promise<std::optional<std::string>>>();
    NRVNerovaXPCBroker().versionWithReply([promise](auto, auto error) { promise->set_value(error); });
    auto f = promise->get_future();
    ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
    const auto error = f.get();
    EXPECT_TRUE(error.has_value());
    EXPECT_EQ(countLog(logStore(), "Not connecting to the service 'com.nerova.xpc.broker': " + theirs +
                                       " belongs to user 65534"),
              1u);
    stopRole(broker);
}
