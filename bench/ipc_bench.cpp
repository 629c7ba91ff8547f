// The interprocess layer against its own yardsticks, measured in one run:
//  - small-call round trips per second through the transport, against a
//    bare AF_UNIX socket ping-pong of the same bytes (target: at least a third);
//  - connecting to a service by name through the broker, the peer checks
//    in both directions included (target: median under 5 ms);
//  - this process's memory after 100,000 calls against after 1,000.
// The round trips are measured twice: as the scheduler places the threads,
// then with the three processes held on one CPU.
// Starts the fake broker and agent from the build's bin folder.
//   ipc_bench [round trips, default 20000]
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/xpc/NRVXPCClientHelper.h"
#include "platform/xpc/XPCConnection.h"
#include "platform/xpc/XPCFrame.h"

using Clock = std::chrono::steady_clock;
using platform::xpc::Value;
using platform::xpc::Values;

extern char** environ;

namespace {

NRVXPCProtocol agentProtocol() {
    auto i = std::make_shared<platform::xpc::Interface>("NRVRemoteZEPProtocol");
    i->method("requestArchiveName:", {}, std::vector<platform::xpc::Kind>{platform::xpc::Kind::String});
    return i;
}

long residentKiB() {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long v;
            in >> v;
            return v;
        }
        in.ignore(1 << 16, '\n');
    }
    return -1;
}

pid_t startRole(const std::vector<std::string>& args) {
    std::vector<std::string> a = {std::string(NRV_BIN_DIR) + "/nrv-fake-service"};
    a.insert(a.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return 0;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    pid_t pid = 0;
    posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    std::string seen;
    char buf[64];
    pollfd p{out[0], POLLIN, 0};
    while (seen.find("READY") == std::string::npos && poll(&p, 1, 5000) > 0) {
        ssize_t r = read(out[0], buf, sizeof buf);
        if (r <= 0) break;
        seen.append(buf, static_cast<std::size_t>(r));
    }
    close(out[0]);
    return seen.find("READY") != std::string::npos ? pid : 0;
}

// Bare ping-pong: the same bytes as one layer call and its reply, against a
// child forked before any thread exists.
class BarePingPong {
public:
    BarePingPong() {
        platform::xpc::encodeFrame(platform::xpc::Frame::call(1, "requestArchiveName:", {}, true), call_);
        platform::xpc::encodeFrame(platform::xpc::Frame::reply(1, {Value("n")}), reply_);
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
        child_ = fork();
        if (child_ == 0) {
            close(sv[0]);
            std::vector<std::uint8_t> buf(call_.size());
            for (;;) {
                if (!readAll(sv[1], buf)) _exit(0);
                if (write(sv[1], reply_.data(), reply_.size()) != static_cast<ssize_t>(reply_.size())) _exit(1);
            }
        }
        close(sv[1]);
        fd_ = sv[0];
    }
    pid_t child() const { return child_; }
    ~BarePingPong() {
        close(fd_);
        waitpid(child_, nullptr, 0);
    }
    // Seconds for n round trips.
    double roundTrips(int n) {
        std::vector<std::uint8_t> buf(reply_.size());
        auto start = Clock::now();
        for (int i = 0; i < n; ++i) {
            if (write(fd_, call_.data(), call_.size()) != static_cast<ssize_t>(call_.size())) break;
            if (!readAll(fd_, buf)) break;
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

private:
    static bool readAll(int fd, std::vector<std::uint8_t>& buf) {
        std::size_t got = 0;
        while (got < buf.size()) {
            ssize_t r = read(fd, buf.data() + got, buf.size() - got);
            if (r <= 0) return false;
            got += static_cast<std::size_t>(r);
        }
        return true;
    }

    std::vector<std::uint8_t> call_, reply_;
    pid_t child_ = -1;
    int fd_ = -1;
};

// Sequential calls: each waits for its reply before the next.
void callsInSequence(const NRVXPCProxy& proxy, int n) {
    std::mutex m;
    std::condition_variable cv;
    for (int i = 0; i < n; ++i) {
        bool done = false;
        proxy->call("requestArchiveName:", {}, [&](const Values&) {
            {
                std::lock_guard<std::mutex> lock(m);
                done = true;
            }
            cv.notify_one();
        });
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return done; });
    }
}

struct RoundTrips {
    double layer = 0, bare = 0;  // per second
};

// In alternating blocks, so that a change in the machine's load falls on
// both alike.
RoundTrips compareRoundTrips(const NRVXPCProxy& proxy, BarePingPong& bare, int n) {
    const int blocks = std::max(1, std::min(20, n / 500));
    double layerSeconds = 0, bareSeconds = 0;
    for (int block = 0; block < blocks; ++block) {
        const int count = n / blocks + (block < n % blocks ? 1 : 0);
        auto start = Clock::now();
        callsInSequence(proxy, count);
        layerSeconds += std::chrono::duration<double>(Clock::now() - start).count();
        bareSeconds += bare.roundTrips(count);
    }
    return RoundTrips{n / layerSeconds, n / bareSeconds};
}

// Every thread of the process onto the CPU this thread runs on; threads
// started later inherit it.
bool pinToOneCPU(pid_t pid) {
    static const int cpu = sched_getcpu();
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    std::error_code ec;
    bool all = true;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        const pid_t tid = static_cast<pid_t>(std::atoi(task.path().filename().c_str()));
        if (sched_setaffinity(tid, sizeof set, &set) != 0) all = false;
    }
    return all && !ec;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 20000;
    BarePingPong bare;  // forks before any thread exists

    char tmpl[] = "/tmp/nrvbenchXXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string root = tmpl;
    setenv("NRV_RUNTIME_ROOT", root.c_str(), 1);
    setenv("NRV_LOG_STORE", (root + "/unified.log").c_str(), 1);
    setenv("NRV_CODESIGN_POLICY", NRV_CODESIGN_DIR "/test-policy.plist", 1);
    // Not a per-user agent's name: the client checks this service's user and
    // signature itself, as it does for every root service.
    const std::string service = "com.nerova.xpc.name.bench";
    pid_t broker = startRole({"--role=broker", "--runtime-root=" + root});
    pid_t agent = startRole({"--role=agent", "--name=n", "--service=" + service, "--runtime-root=" + root});
    if (!broker || !agent) {
        std::fprintf(stderr, "cannot start the fake services from %s\n", NRV_BIN_DIR);
        return 1;
    }

    // Connecting by name, both peer checks included.
    std::vector<double> connectMs;
    for (int i = 0; i < 40; ++i) {
        NRVXPCClientHelper helper;
        auto start = Clock::now();
        long result = helper.connectAndWaitForFirstConnectionForService(service, agentProtocol(), 5.0);
        connectMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (result != 0) std::fprintf(stderr, "connect %d failed\n", i);
        helper.disconnectService(service);
        while (NRVXPCClientHelper::sharedClientConnectionsForUnitTest().count(service)) usleep(1000);
    }
    std::sort(connectMs.begin(), connectMs.end());

    NRVXPCClientHelper helper;
    helper.connectAndWaitForFirstConnectionForService(service, agentProtocol(), 5.0);
    NRVXPCProxy proxy = helper.remoteObjectProxyForService(service, [](const std::string& e) {
        std::fprintf(stderr, "call failed: %s\n", e.c_str());
    });
    if (!proxy) return 1;
    callsInSequence(proxy, 1000);
    const long after1k = residentKiB();
    const RoundTrips spread = compareRoundTrips(proxy, bare, n);
    callsInSequence(proxy, std::max(0, 100000 - 1000 - n));
    const long after100k = residentKiB();
    // The same again with every thread of the three processes on one CPU:
    // the cost of a call with the scheduler's placement taken out. Left to
    // itself, the scheduler keeps the bare pair on one CPU but spreads the
    // layer's three threads (caller, reply reader, service) over idle ones.
    const bool pinned = pinToOneCPU(getpid()) && pinToOneCPU(bare.child()) && pinToOneCPU(agent);
    const RoundTrips oneCPU = pinned ? compareRoundTrips(proxy, bare, n) : RoundTrips{};

    std::printf("round trips/s: layer %.0f, bare socket %.0f, ratio %.2f (target >= 0.33)\n", spread.layer,
                spread.bare, spread.layer / spread.bare);
    if (pinned)
        std::printf("round trips/s on one CPU: layer %.0f, bare socket %.0f, ratio %.2f\n", oneCPU.layer, oneCPU.bare,
                    oneCPU.layer / oneCPU.bare);
    std::printf("connect via broker with both peer checks: median %.2f ms, max %.2f ms (target median < 5 ms)\n",
                connectMs[connectMs.size() / 2], connectMs.back());
    std::printf("resident memory: %ld KiB after 1,000 calls, %ld KiB after 100,000 calls\n", after1k, after100k);

    helper.disconnectService(service);
    kill(agent, SIGTERM);
    kill(broker, SIGTERM);
    waitpid(agent, nullptr, 0);
    waitpid(broker, nullptr, 0);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    std::fflush(stdout);
    _exit(0);
}
