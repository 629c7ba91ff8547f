#include "platform/process/ProcessInfo.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

#include "platform/process/Task.h"

namespace process = platform::process;

namespace {

TEST(ProcessInfo, AuditTokenOfALiveProcessAndItsEnd) {
    platform::Task child;
    child.launchPath = "/bin/sleep";
    child.arguments = {"30"};
    ASSERT_TRUE(child.launch());
    auto token = process::auditTokenForPid(child.processIdentifier());
    ASSERT_TRUE(token);
    EXPECT_EQ(token->pid(), child.processIdentifier());
    EXPECT_EQ(token->euid(), ::geteuid());
    EXPECT_EQ(token->egid(), ::getegid());
    EXPECT_EQ(token->startTime(), process::processStartTime(child.processIdentifier()));
    EXPECT_TRUE(process::isAuditTokenCurrent(*token));

    auto shifted = platform::AuditToken::make(token->auditUid(), token->euid(), token->egid(), token->ruid(),
                                              token->rgid(), token->pid(), token->startTime() + 1);
    EXPECT_FALSE(process::isAuditTokenCurrent(shifted));
    EXPECT_FALSE(process::isAuditTokenCurrent(platform::AuditToken{}));

    child.terminate();
    child.waitUntilExit();
    EXPECT_FALSE(process::isAuditTokenCurrent(*token));
    EXPECT_FALSE(process::auditTokenForPid(child.processIdentifier()));
}

TEST(ProcessInfo, CancelledExitWatchNeverCalls) {
    platform::Task child;
    child.launchPath = "/bin/sleep";
    child.arguments = {"30"};
    ASSERT_TRUE(child.launch());
    std::atomic<int> calls{0};
    auto watch = process::ProcessExitWatch::start(child.processIdentifier(), [&] { ++calls; });
    ASSERT_TRUE(watch);
    watch->cancel();
    child.terminate();
    child.waitUntilExit();
    // The cancelled watch must not call: a short bound.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(process::ProcessExitWatch::start(0, [] {}));
}

// The list's failure names the error number and its text. A child that may
// open no file at all provokes it.
TEST(ProcessInfo, ProcessListFailureCarriesTheErrorText) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(out[0]);
        struct rlimit none {0, 0};
        ::setrlimit(RLIMIT_NOFILE, &none);
        platform::Error error;
        const bool listed = process::allProcessIDs(&error).has_value();
        const std::string text = listed ? "listed" : error.description;
        const ssize_t written = ::write(out[1], text.data(), text.size());
        ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ::close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(text, "Failed to count running processes: " + std::to_string(EMFILE) + " " + std::strerror(EMFILE));
}

TEST(ProcessInfo, RecordOfThisProcess) {
    platform::Error error;
    auto record = process::readProcessRecord(::getpid(), &error);
    ASSERT_TRUE(record) << error.description;
    EXPECT_EQ(record->ppid, ::getppid());
    EXPECT_EQ(record->name, "platform_tests");
    EXPECT_FALSE(process::readProcessRecord(-5, &error));
    EXPECT_EQ(error.description, "No process info found");
}

}  // namespace
