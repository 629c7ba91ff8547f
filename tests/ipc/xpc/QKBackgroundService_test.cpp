#include "ipc/xpc/QKBackgroundService.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The probe daemon as a child process with its output on a pipe.
class Daemon {
public:
    explicit Daemon(std::vector<std::string> extra) {
        std::vector<std::string> args{std::string(NRV_BIN_DIR) + "/nrv-background-service-probe"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Daemon() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }
    // Reads until the text has appeared (true) or the time is up (false).
    bool waitFor(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = Clock::now() + limit;
        while (output.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) return false;
            struct pollfd p {out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char buffer[4096];
            ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0) return output.find(text) != std::string::npos;
            output.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    void signal(int s) { ::kill(pid_, s); }
    bool running() {
        int status = 0;
        return ::waitpid(pid_, &status, WNOHANG) == 0;
    }
    // The exit status, or -1 when it has not ended within the limit.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = Clock::now() + limit;
        int status = 0;
        while (Clock::now() < end) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                waitFor("\x01", std::chrono::milliseconds(100));  // collect what is left
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(5000);
        }
        return -1;
    }

    std::string output;

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
};

TEST(QKBackgroundServiceTest, HandledSignalsEndTheDaemonAfterTheNotice) {
    for (int s : {SIGTERM, SIGINT, SIGQUIT}) {
        Daemon daemon({});
        ASSERT_TRUE(daemon.waitFor("launched")) << daemon.output;
        const auto sent = Clock::now();
        daemon.signal(s);
        ASSERT_TRUE(daemon.waitFor("terminating\n")) << strsignal(s) << ": " << daemon.output;
        EXPECT_EQ(daemon.wait(), 0) << strsignal(s);
        const auto took = Clock::now() - sent;
        EXPECT_GE(took, std::chrono::milliseconds(450)) << "the half-second grace";
        EXPECT_LT(took, std::chrono::seconds(3));
    }
}

TEST(QKBackgroundServiceTest, ASecondSignalDoesNotShortenTheGrace) {
    Daemon daemon({});
    ASSERT_TRUE(daemon.waitFor("launched")) << daemon.output;
    const auto sent = Clock::now();
    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.waitFor("terminating\n")) << daemon.output;
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(), 0);
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(450)) << "the half-second grace";
}

TEST(QKBackgroundServiceTest, HangupAndBrokenPipeAreIgnored) {
    Daemon daemon({});
    ASSERT_TRUE(daemon.waitFor("launched"));
    daemon.signal(SIGHUP);
    daemon.signal(SIGPIPE);
    // The daemon must not end: a short bound for something that must not happen.
    ::usleep(300000);
    EXPECT_TRUE(daemon.running());
    EXPECT_EQ(daemon.output.find("terminating"), std::string::npos);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(), 0);
}

TEST(QKBackgroundServiceTest, StartupLineAndArguments) {
    Daemon daemon({"ProbeDelegate", "--flag"});
    ASSERT_TRUE(daemon.waitFor("launched 3 " + std::string(NRV_BIN_DIR) + "/nrv-background-service-probe\n"))
        << daemon.output;
    EXPECT_EQ(daemon.output.rfind("Starting up: QKBackgroundServiceMain,252\n", 0), 0u) << daemon.output;
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(), 0);
}

TEST(QKBackgroundServiceTest, TerminateFromAnotherThreadWakesTheMainLoop) {
    const auto start = Clock::now();
    Daemon daemon({"--terminate-from-thread"});
    ASSERT_TRUE(daemon.waitFor("terminating\n", std::chrono::seconds(3))) << daemon.output;
    EXPECT_EQ(daemon.wait(), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

TEST(QKBackgroundServiceTest, UnknownDelegateClassIsAnError) {
    Daemon daemon({"NoSuchDelegate"});
    EXPECT_EQ(daemon.wait(), 1);
    EXPECT_NE(daemon.output.find("Could not construct a class from NoSuchDelegate"), std::string::npos) << daemon.output;
    EXPECT_EQ(daemon.output.find("launched"), std::string::npos);
}

TEST(QKBackgroundServiceTest, PackedArgumentsCarryCountAndPointers) {
    char a0[] = "/bin/daemon", a1[] = "x";
    char* argv[] = {a0, a1, nullptr};
    const NRVData block = QKPackCommandLineArguments(2, argv);
    ASSERT_EQ(block.size(), 24u);
    std::int32_t count = 0;
    std::memcpy(&count, block.data(), 4);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin() + 4, block.begin() + 8), std::vector<std::uint8_t>(4, 0));
    char* second = nullptr;
    std::memcpy(&second, block.data() + 16, sizeof second);
    EXPECT_EQ(second, a1);
}

}  // namespace
