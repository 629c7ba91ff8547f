#include "foundation/NSProcessInfoExtensions.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/process/Task.h"
#include "support/Events.h"

namespace pi = NSProcessInfoExtensions;

namespace {

TEST(NSProcessInfoExtensions, ReadsAProcessRecordOrSaysItIsMissing) {
    int calls = 0;
    pi::processInfoForPid(::getpid(), [&](pid_t ppid, std::uint32_t ruid, std::uint32_t euid,
                                          const std::optional<std::string>& name,
                                          const std::optional<NRVDate>& start, const std::optional<std::string>& error) {
        ++calls;
        EXPECT_FALSE(error);
        EXPECT_EQ(ppid, ::getppid());
        EXPECT_EQ(ruid, ::getuid());
        EXPECT_EQ(euid, ::geteuid());
        EXPECT_EQ(name, std::string("foundation_test").substr(0, 15));
        ASSERT_TRUE(start);
        const double now = static_cast<double>(std::time(nullptr));
        EXPECT_LE(start->timeIntervalSince1970(), now + 1);
        EXPECT_GT(start->timeIntervalSince1970(), now - 3600);
    });
    EXPECT_EQ(calls, 1);

    pi::processInfo2ForPid(999999999, 2.0, [&](pid_t ppid, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                                               const std::optional<std::string>& name, std::int64_t seconds, std::int32_t,
                                               const std::optional<std::string>& error) {
        ++calls;
        EXPECT_EQ(error, "No process info found");
        EXPECT_EQ(ppid, 0);
        EXPECT_FALSE(name);
        EXPECT_EQ(seconds, 0);
    });
    EXPECT_EQ(calls, 2);

    std::uint32_t egid = 12345;
    std::optional<std::string> name;
    EXPECT_FALSE(pi::processInfo2ForPID(::getpid(), nullptr, nullptr, nullptr, nullptr, &egid, &name, nullptr, nullptr));
    EXPECT_EQ(egid, ::getegid());
    EXPECT_TRUE(name);
    EXPECT_EQ(pi::processInfo2ForPID(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              "No process info found");
}

// The "effective" group id of these records is the saved group id. A child
// whose three group ids differ shows which one is read (needs root to set
// them).
TEST(NSProcessInfoExtensions, EffectiveGroupIsTheSavedGroup) {
    if (::geteuid() != 0) GTEST_SKIP() << "setting a saved group id of another value needs root";
    constexpr gid_t kReal = 4241, kEffective = 4242, kSaved = 4243;
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        ::close(done[1]);
        const char set = ::setresgid(kReal, kEffective, kSaved) == 0 ? 'y' : 'n';
        if (::write(ready[1], &set, 1) != 1) ::_exit(1);
        char ignored;
        while (::read(done[0], &ignored, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(done[0]);
    char set = 0;
    ASSERT_EQ(::read(ready[0], &set, 1), 1);
    ::close(ready[0]);
    struct Reap {
        pid_t pid;
        int done;
        ~Reap() {
            ::close(done);
            ::waitpid(pid, nullptr, 0);
        }
    } reap{child, done[1]};
    ASSERT_EQ(set, 'y');

    std::uint32_t gid = 0, egid = 0;
    EXPECT_FALSE(pi::processInfo2ForPID(child, nullptr, nullptr, nullptr, &gid, &egid, nullptr, nullptr, nullptr));
    EXPECT_EQ(gid, kReal);
    EXPECT_EQ(egid, kSaved);

    pi::processInfo2ForPid(child, 5.0, [&](pid_t, std::uint32_t, std::uint32_t, std::uint32_t g, std::uint32_t e,
                                           const std::optional<std::string>&, std::int64_t, std::int32_t,
                                           const std::optional<std::string>& error) {
        EXPECT_FALSE(error);
        EXPECT_EQ(g, kReal);
        EXPECT_EQ(e, kSaved);
    });

    std::promise<std::pair<long long, long long>> listed;
    pi::allRunningProcesses2WithReply([&listed, child](const NRVArray& processes, const std::optional<std::string>&) {
        std::pair<long long, long long> ids{-1, -1};
        for (const NRVValue& v : processes) {
            const NRVValue* pid = v["pid"];
            if (!pid || !pid->asInteger() || *pid->asInteger() != child) continue;
            ids = {*v["gid"]->asInteger(), *v["egid"]->asInteger()};
        }
        listed.set_value(ids);
    });
    auto future = listed.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(future.get(), (std::pair<long long, long long>{kReal, kSaved}));
}

TEST(NSProcessInfoExtensions, SystemMajorNumberFromText) {
    constexpr long long kNone = std::numeric_limits<long long>::max();
    struct Case {
        const char* text;
        long long value;
    } cases[] = {
        {"12.0", 21}, {"11.0", 20}, {"10.15", 19}, {"9.5", kNone}, {"12", kNone},   {"12.", kNone},
        {".0", kNone}, {"12.x", kNone}, {"12.0.1", kNone}, {"1a.0", kNone}, {"", kNone},
    };
    for (const auto& c : cases) EXPECT_EQ(pi::systemMajorNumberForSystemMajorString(c.text), c.value) << c.text;
}

TEST(NSProcessInfoExtensions, OperatingSystemNames) {
    struct Case {
        long major, minor;
        const char* name;
    } cases[] = {
        {12, 4, "macOS Monterey 12.4"}, {14, 2, "macOS Sonoma 14.2"}, {15, 0, "macOS Sequoia 15.0"},
        {26, 1, "macOS Tahoe 26.1"},    {27, 0, "macOS Golden Gate 27.0"}, {99, 3, "macOS 99.0.3"},
    };
    for (const auto& c : cases) EXPECT_EQ(pi::osNameForVersion({c.major, c.minor, 0}), c.name);
    EXPECT_TRUE(pi::processorArchitecture() == "arm64" || pi::processorArchitecture() == "x86_64");
    EXPECT_FALSE(pi::machineHardwareName().empty());
}

TEST(NSProcessInfoExtensions, NamesAreLookedUpAndCached) {
    pi::cleanCache();
    EXPECT_EQ(pi::posixNameForUid(0), "root");
    EXPECT_TRUE(pi::groupNameForGid(0));
    EXPECT_EQ(pi::cachedNameCount(), 2u);
    EXPECT_EQ(pi::posixNameForUid(0), "root");
    EXPECT_EQ(pi::cachedNameCount(), 2u);
    EXPECT_FALSE(pi::posixNameForUid(3999999999u));
    EXPECT_EQ(pi::cachedNameCount(), 2u) << "a missing name is not cached";
    pi::cleanCache();
    EXPECT_EQ(pi::cachedNameCount(), 0u);
}

TEST(NSProcessInfoExtensions, ExitIsReportedOnceForLiveAndEndedProcesses) {
    platform::Task child;
    child.launchPath = "/bin/sleep";
    child.arguments = {"30"};
    ASSERT_TRUE(child.launch());
    std::atomic<int> calls{0};
    std::promise<void> exited;
    pi::monitorProcessExit(child.processIdentifier(), [&] {
        if (++calls == 1) exited.set_value();
    });
    // No exit to report yet: a short bound, as nothing is to happen.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(calls, 0);
    child.terminate();
    child.waitUntilExit();
    EXPECT_EQ(exited.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);

    std::atomic<int> goneCalls{0};
    std::promise<void> gone;
    pi::monitorProcessExit(child.processIdentifier(), [&] {
        if (++goneCalls == 1) gone.set_value();
    });
    EXPECT_EQ(gone.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    // A second report would come within the watcher's next rounds: a short
    // bound, as this waits for something that must not happen.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(goneCalls, 1);
}

TEST(NSProcessInfoExtensions, ProcessListsPathsAndArguments) {
    std::promise<NRVArray> first, second;
    pi::allRunningProcessesWithReply([&](const NRVArray& list, const std::optional<std::string>& error) {
        EXPECT_FALSE(error);
        first.set_value(list);
    });
    pi::allRunningProcesses2WithReply([&](const NRVArray& list, const std::optional<std::string>&) { second.set_value(list); });
    auto findSelf = [](const NRVArray& list) -> const NRVDictionary* {
        for (const auto& v : list) {
            const NRVValue* pid = v["pid"];
            if (pid && pid->asInteger() && *pid->asInteger() == ::getpid()) return v.asDictionary();
        }
        return nullptr;
    };
    auto firstList = first.get_future().get();
    const NRVDictionary* self = findSelf(firstList);
    ASSERT_TRUE(self);
    EXPECT_EQ(self->keys(), (std::vector<std::string>{"pid", "ppid", "uid", "euid", "name", "path", "startTime",
                                                       "physicalFootPrint"}));
    EXPECT_EQ(*self->find("path")->asString(), *pi::processPathForPid(::getpid()));
    auto secondList = second.get_future().get();
    self = findSelf(secondList);
    ASSERT_TRUE(self);
    EXPECT_EQ(self->keys(), (std::vector<std::string>{"pid", "ppid", "uid", "euid", "gid", "egid", "name", "path",
                                                       "seconds", "uSeconds"}));

    std::vector<std::string> args;
    EXPECT_FALSE(pi::processArgsForPid(::getpid(), &args));
    ASSERT_FALSE(args.empty());
    EXPECT_NE(args[0].find("foundation_tests"), std::string::npos);
    EXPECT_EQ(pi::processArgsForPid(999999999, &args), "Failed to get arguments");

    platform::Task child;
    child.launchPath = "/bin/sh";
    child.arguments = {"-c", "sleep 30; true", "caf\xc3\xa9", "bad\xff"};
    ASSERT_TRUE(child.launch());
    // Some spawn implementations (sanitizer builds) return before the child
    // has exec'd, and a child in the middle of its exec shows no arguments yet.
    testsupport::waitUntil([&] {
        pi::processArgsForPid(child.processIdentifier(), &args);
        return !args.empty() && args[0] == "/bin/sh";
    });
    EXPECT_FALSE(pi::processArgsForPid(child.processIdentifier(), &args));
    EXPECT_EQ(args, (std::vector<std::string>{"/bin/sh", "-c", "sleep 30; true", "caf\xc3\xa9"}));
    child.terminate();
    child.waitUntilExit();
    EXPECT_FALSE(pi::processPathForPid(999999999));
}

}  // namespace
