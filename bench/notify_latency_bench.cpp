// Post-to-delivery latency of distributed notifications with 10 observing
// processes: one poster, each post carrying its send time (monotonic clock,
// shared by all processes of the machine); every observer reports how long
// after that its handler ran. Prints the median and the 99th percentile over
// all deliveries, and how long post() itself took: in all, and in processor
// time of the posting thread (what a loaded machine leaves out: the time the
// poster waited for a processor).
//
//   notify_latency_bench [posts]      (default 1000; observers are this
//                                      program started with --observer)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/notify/NotificationCenter.h"

using platform::notify::Notification;
using platform::notify::NotificationCenter;

namespace {

constexpr int kObservers = 10;
constexpr const char* kName = "com.nerova.bench.latency";

std::int64_t threadCPUNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int runObserver() {
    auto& center = NotificationCenter::defaultCenter();
    static int key;
    platform::Error error;
    if (!center.addObserver(&key, kName, std::nullopt,
                            [](const Notification& n) {
                                const std::int64_t latency = nowNs() - std::stoll(n.object.value_or("0"));
                                std::printf("%lld\n", static_cast<long long>(latency));
                                std::fflush(stdout);
                            },
                            &error)) {
        std::printf("FAILED %s\n", error.description.c_str());
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    for (;;) pause();
}

struct Observer {
    pid_t pid = -1;
    int out = -1;
    std::string buffer;
};

// Reads whole lines from every observer until `wanted` lines arrived or the
// limit passed.
std::vector<std::string> collectLines(std::vector<Observer>& observers, std::size_t wanted,
                                      std::chrono::milliseconds limit) {
    std::vector<std::string> lines;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (lines.size() < wanted && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> fds;
        for (auto& o : observers) fds.push_back({o.out, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 100) <= 0) continue;
        for (std::size_t i = 0; i < observers.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            char chunk[65536];
            ssize_t n = read(observers[i].out, chunk, sizeof chunk);
            if (n <= 0) continue;
            observers[i].buffer.append(chunk, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = observers[i].buffer.find('\n')) != std::string::npos) {
                lines.push_back(observers[i].buffer.substr(0, nl));
                observers[i].buffer.erase(0, nl + 1);
            }
        }
    }
    return lines;
}

double percentile(const std::vector<std::int64_t>& sorted, double p) {
    if (sorted.empty()) return 0;
    const std::size_t index = std::min(sorted.size() - 1, static_cast<std::size_t>(p * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[index]) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--observer") return runObserver();
    const int posts = argc > 1 ? std::atoi(argv[1]) : 1000;

    std::string root = (std::filesystem::temp_directory_path() / "nrvbench.XXXXXX").string();
    if (!mkdtemp(root.data())) return 1;
    setenv("NRV_RUNTIME_ROOT", root.c_str(), 1);

    std::vector<Observer> observers(kObservers);
    for (auto& o : observers) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return 1;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        char* args[] = {argv[0], const_cast<char*>("--observer"), nullptr};
        if (posix_spawn(&o.pid, argv[0], &actions, nullptr, args, environ) != 0) return 1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        o.out = fds[0];
    }
    auto ready = collectLines(observers, kObservers, std::chrono::seconds(10));
    const bool allReady = std::count(ready.begin(), ready.end(), "READY") == kObservers;

    std::vector<std::int64_t> postTimes, postCPUTimes;
    if (allReady) {
        auto& center = NotificationCenter::defaultCenter();
        for (int i = 0; i < posts; ++i) {
            const std::int64_t cpuStart = threadCPUNs();
            const std::int64_t start = nowNs();
            center.post({kName, std::to_string(start), std::nullopt});
            postTimes.push_back(nowNs() - start);
            postCPUTimes.push_back(threadCPUNs() - cpuStart);
            // Spaced out: this measures latency, not how fast a burst drains.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    auto lines = allReady ? collectLines(observers, static_cast<std::size_t>(posts) * kObservers, std::chrono::seconds(30))
                          : std::vector<std::string>{};

    for (auto& o : observers) {
        kill(o.pid, SIGTERM);
        waitpid(o.pid, nullptr, 0);
        close(o.out);
    }
    std::filesystem::remove_all(root);
    if (!allReady) {
        std::fprintf(stderr, "observers did not start\n");
        return 1;
    }

    std::vector<std::int64_t> latencies;
    for (const auto& l : lines) latencies.push_back(std::stoll(l));
    std::sort(latencies.begin(), latencies.end());
    std::sort(postTimes.begin(), postTimes.end());
    std::sort(postCPUTimes.begin(), postCPUTimes.end());
    std::printf("notification post-to-delivery, %d observing processes, %d posts:\n", kObservers, posts);
    std::printf("  deliveries %zu of %d\n", latencies.size(), posts * kObservers);
    std::printf("  latency median %.1f us, p99 %.1f us, max %.1f us\n", percentile(latencies, 0.5),
                percentile(latencies, 0.99), latencies.empty() ? 0.0 : static_cast<double>(latencies.back()) / 1000.0);
    std::printf("  post() median %.1f us, p99 %.1f us\n", percentile(postTimes, 0.5), percentile(postTimes, 0.99));
    std::printf("  post() processor time median %.1f us, p99 %.1f us\n", percentile(postCPUTimes, 0.5),
                percentile(postCPUTimes, 0.99));
    return latencies.size() == static_cast<std::size_t>(posts) * kObservers ? 0 : 1;
}
