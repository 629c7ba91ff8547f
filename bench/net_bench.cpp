// The URL networking layer on loopback against its baselines (a plain
// program; prints one table). Starts the test servers of tests/support and
// generates every payload at run time.
//   net_bench [--download-mib=N] [--requests=N] [--requests-only]
// 1. N MiB downloaded through a broker into a file, against `curl -o` of the
//    same URL, with the process's peak memory before and after.
// 2. N small sequential requests through a broker, against one reused plain
//    libcurl handle in this process (in alternating blocks), and against the
//    same handle driven by a bare multi handle on a thread of its own (what
//    any design with the transfers on their own thread costs, without ours).
//    Also the CPU time the broker's engine thread and the bare thread take
//    per request, and the time they wait to run: the machine's scheduling
//    moves the rates by 10% and more between runs, these much less.
// 3. The time a request loses to a dead first route (connection refused).
// 4. Web-socket echo round trips per second, against the Python client.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/broker/NRVURLBroker.h"
#include "platform/thread/ThreadNumber.h"
#include "support/LocalServers.h"

using Clock = std::chrono::steady_clock;
using testsupport::LocalServers;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

long peakKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

NRVURLRequest get(const std::string& url) {
    NRVURLRequest request(url);
    request.timeoutInterval = 120;
    return request;
}

// The thread that delivers the broker's replies: its engine's.
std::atomic<std::uint32_t> engineThread{0};

// Nanoseconds a thread of this process has run, and has waited to run.
struct ThreadTimes {
    long long run = 0, wait = 0;
};

ThreadTimes threadTimes(std::uint32_t thread) {
    ThreadTimes times;
    std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/schedstat");
    in >> times.run >> times.wait;
    return times;
}

// The caller waits as it waits for the bare thread below (a mutex and a
// condition variable, notified after the mutex is released: one wake per
// request), so both sides pay the same for the hand-over back. The state is
// shared with the reply, so the notify may come after the caller returned.
std::shared_ptr<NRVURLResponse> fetch(NRVURLBroker& broker, const NRVURLRequest& request) {
    struct Wait {
        std::mutex mutex;
        std::condition_variable changed;
        std::shared_ptr<NRVURLResponse> response;
        bool done = false;
    };
    auto wait = std::make_shared<Wait>();
    broker.dataWithRequest(request, [wait](std::shared_ptr<NRVURLResponse> r, std::optional<NRVData>) {
        engineThread = platform::thread::currentThreadNumber();
        {
            std::lock_guard<std::mutex> lock(wait->mutex);
            wait->response = std::move(r);
            wait->done = true;
        }
        wait->changed.notify_one();
    });
    std::unique_lock<std::mutex> lock(wait->mutex);
    wait->changed.wait(lock, [&] { return wait->done; });
    return wait->response;
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// One easy handle run by a multi handle on its own thread, woken with
// curl_multi_wakeup; the caller waits for each transfer to end.
class BareTransferThread {
public:
    explicit BareTransferThread(CURL* easy) : easy_(easy), multi_(curl_multi_init()) {
        thread_ = std::thread([this] { run(); });
    }
    ~BareTransferThread() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        curl_multi_wakeup(multi_);
        thread_.join();
        curl_multi_cleanup(multi_);
    }
    std::uint32_t thread() const { return threadNumber_; }

    void perform() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pending_ = true;
            done_ = false;
        }
        curl_multi_wakeup(multi_);
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return done_; });
    }

private:
    void run() {
        threadNumber_ = platform::thread::currentThreadNumber();
        bool active = false;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_) break;
                if (pending_) {
                    pending_ = false;
                    curl_multi_add_handle(multi_, easy_);
                    active = true;
                }
            }
            int running = 0;
            curl_multi_perform(multi_, &running);
            if (active && running == 0) {
                curl_multi_remove_handle(multi_, easy_);
                active = false;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    done_ = true;
                }
                changed_.notify_one();
            }
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
        if (active) curl_multi_remove_handle(multi_, easy_);
    }

    CURL* easy_;
    CURLM* multi_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool pending_ = false, done_ = false, stop_ = false;
    std::atomic<std::uint32_t> threadNumber_{0};
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    long downloadMiB = 1024;
    int requests = 1000;
    bool requestsOnly = false;  // part 2 alone, for a profiler
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--requests-only") == 0) requestsOnly = true;
        if (std::strncmp(argv[i], "--download-mib=", 15) == 0) downloadMiB = std::atol(argv[i] + 15);
        if (std::strncmp(argv[i], "--requests=", 11) == 0) requests = std::atoi(argv[i] + 11);
    }
    std::string why;
    LocalServers* servers = LocalServers::shared(&why);
    if (!servers) {
        std::fprintf(stderr, "servers: %s\n", why.c_str());
        return 1;
    }
    testsupport::TempDir dir;
    testsupport::ScopedEnv root("NRV_RUNTIME_ROOT", dir.path());
    testsupport::writeText(dir / "network/proxy.plist",
                           "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict/></plist>\n");

    auto handler = NRVURLSessionHandler::createDetached();
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);

    // 1. Download into a file.
    if (!requestsOnly) {
        const std::string url = servers->httpURL("/bytes/" + std::to_string(downloadMiB * 1024 * 1024));
        const long before = peakKiB();
        auto start = Clock::now();
        std::promise<std::uint64_t> done;
        broker.downloadWithRequest(get(url), [&](std::shared_ptr<NRVURLResponse> r) {
            auto final = r->finalResponse();
            std::uint64_t size = 0;
            if (final && final->downloadedFileLocation) {
                std::error_code ignored;
                size = std::filesystem::file_size(*final->downloadedFileLocation, ignored);
            }
            done.set_value(size);
        });
        const std::uint64_t size = done.get_future().get();
        const double broker = seconds(Clock::now() - start);
        const long after = peakKiB();
        start = Clock::now();
        auto curl = testsupport::runProgram({"/usr/bin/curl", "-s", "-o", dir / "curl.out", "--", url});
        const double plain = seconds(Clock::now() - start);
        std::error_code ignored;
        std::filesystem::remove(dir / "curl.out", ignored);
        std::printf("download %ld MiB      broker %.2f s (%.0f MiB/s, %llu bytes)  curl -o %.2f s  ratio %.2f  "
                    "peak RSS %ld -> %ld KiB (curl exit %d)\n",
                    downloadMiB, broker, downloadMiB / broker, static_cast<unsigned long long>(size), plain,
                    broker / plain, before, after, curl.status);
    }

    // 2. Small sequential requests, in interleaved blocks so that a change
    //    in the machine's load falls on both sides alike.
    {
        const std::string url = servers->httpURL("/status/200");
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
        fetch(broker, get(url));
        curl_easy_perform(easy);
        const int blocks = std::max(1, std::min(20, requests / 50));
        double viaBroker = 0, viaCurl = 0, viaThread = 0;
        ThreadTimes engineTimes, bareTimes;
        const auto add = [](ThreadTimes& sum, const ThreadTimes& before, const ThreadTimes& after) {
            sum.run += after.run - before.run;
            sum.wait += after.wait - before.wait;
        };
        auto bare = std::make_unique<BareTransferThread>(easy);
        bare->perform();  // the thread is known from here on
        for (int block = 0; block < blocks; ++block) {
            const int count = requests / blocks + (block < requests % blocks ? 1 : 0);
            ThreadTimes before = threadTimes(engineThread);
            auto start = Clock::now();
            for (int i = 0; i < count; ++i) fetch(broker, get(url));
            viaBroker += seconds(Clock::now() - start);
            add(engineTimes, before, threadTimes(engineThread));
            start = Clock::now();
            for (int i = 0; i < count; ++i) curl_easy_perform(easy);
            viaCurl += seconds(Clock::now() - start);
            before = threadTimes(bare->thread());
            start = Clock::now();
            for (int i = 0; i < count; ++i) bare->perform();
            viaThread += seconds(Clock::now() - start);
            add(bareTimes, before, threadTimes(bare->thread()));
        }
        bare.reset();
        curl_easy_cleanup(easy);
        std::printf("%d requests        broker %.0f/s  plain libcurl %.0f/s  broker at %.0f%%  "
                    "(bare multi handle on its own thread %.0f/s, broker at %.0f%% of it)\n",
                    requests, requests / viaBroker, requests / viaCurl, 100.0 * viaCurl / viaBroker,
                    requests / viaThread, 100.0 * viaThread / viaBroker);
        const auto micros = [requests](long long nanos) { return nanos / 1e3 / requests; };
        std::printf("  per request       engine thread CPU %.1f us (waiting to run %.1f us)  "
                    "bare thread CPU %.1f us (waiting to run %.1f us)\n",
                    micros(engineTimes.run), micros(engineTimes.wait), micros(bareTimes.run), micros(bareTimes.wait));
    }
    if (requestsOnly) return 0;

    // 3. A dead first route.
    {
        NRVDictionary relays;
        NRVDictionary relay;
        relay.set("MessageRelayAddress", "127.0.0.1");
        relay.set("MessageRelayPort", LocalServers::deadPort());
        relays.set("NRVMcsMessageRelaysToUse", NRVArray{relay});
        auto failing = NRVURLSessionHandler::createDetached();
        failing->configFromBootstrapper(relays);
        NRVURLBroker withDeadRelay(failing);
        withDeadRelay.startWithConfiguration(NRVURLBrokerConfiguration::defaultConfiguration(), nullptr);
        NRVURLBroker direct(failing);
        direct.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);
        const std::string url = servers->httpURL("/status/200");
        fetch(direct, get(url));
        std::vector<double> lost;
        for (int i = 0; i < 21; ++i) {
            auto start = Clock::now();
            auto response = fetch(withDeadRelay, get(url));
            const double failedOver = seconds(Clock::now() - start);
            start = Clock::now();
            fetch(direct, get(url));
            const double straight = seconds(Clock::now() - start);
            if (response->count() == 2) lost.push_back(failedOver - straight);
        }
        std::sort(lost.begin(), lost.end());
        std::printf("dead first route    median time lost %.2f ms (max %.2f ms, %zu runs with 2 attempts)\n",
                    lost.empty() ? -1.0 : lost[lost.size() / 2] * 1000, lost.empty() ? -1.0 : lost.back() * 1000,
                    lost.size());
    }

    // 4. Web-socket echo round trips.
    {
        const int rounds = 2000;
        std::mutex mutex;
        std::condition_variable changed;
        int echoes = 0;
        bool open = false;
        broker.connectToWebSocketServer(get(servers->wsURL()), [&](long code, std::shared_ptr<NRVURLResponse>,
                                                                   std::optional<std::string>, std::optional<NRVData>,
                                                                   NRVErrorRef) {
            std::lock_guard<std::mutex> lock(mutex);
            if (code == 1) open = true;
            if (code == 2) ++echoes;
            changed.notify_all();
        });
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return open; });
        }
        auto start = Clock::now();
        for (int i = 0; i < rounds; ++i) {
            broker.send("ping " + std::to_string(i), nullptr);
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return echoes > i; });
        }
        const double ours = seconds(Clock::now() - start);
        const std::string script =
            "import asyncio, time, websockets\n"
            "async def main():\n"
            "    async with websockets.connect('" + servers->wsURL() + "') as ws:\n"
            "        start = time.monotonic()\n"
            "        for i in range(" + std::to_string(rounds) + "):\n"
            "            await ws.send('ping %d' % i)\n"
            "            await ws.recv()\n"
            "        print(" + std::to_string(rounds) + " / (time.monotonic() - start))\n"
            "asyncio.run(main())\n";
        auto python = testsupport::runProgram({"/usr/bin/python3", "-c", script});
        std::printf("web-socket echo     broker %.0f round trips/s  python client %s round trips/s\n", rounds / ours,
                    python.out.empty() ? "?" : python.out.substr(0, python.out.find('.')).c_str());
    }
    return 0;
}
