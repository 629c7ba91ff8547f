// Throughput of gzip compression, hexadecimal and Base64 text on 64 MiB; the
// value type's dictionary at 10k to 1M keys; reading a large status list; the
// command runner's cost per command; listing all processes against `ps -e`;
// the cache manager's insert and look-up cost at 1k, 10k and 100k entries.
// Compare the gzip figure with the gzip program at the same level on the same
// bytes: run with --dump=FILE to write them out, then time `gzip -1 -c FILE`.
//
// Every call returns a new buffer of up to 144 MiB. By default the heap keeps
// freed memory, as a long-running process's heap does, so the figures show
// the work of the helpers; --cold hands large blocks back to the system after
// each call, so every call also pays for faulting its output in.
// BM_touchOutput shows what that faulting alone costs on this machine.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "foundation-module/CommandRunner.h"
#include "foundation/GetBSDProcessList.h"
#include "foundation/NRVCacheManager.h"
#include "foundation/NSDataBase64.h"
#include "foundation/NSDataExtensions.h"
#include "platform/plist/PropertyList.h"
#include "platform/value/NRVValue.h"

extern char** environ;

namespace {

constexpr std::size_t kSize = std::size_t{64} << 20;

// Log-extract-like text: timestamps, process names, identifiers and numbers,
// so that compression does the kind of work it does on real extracts.
const NRVData& sampleData() {
    static const NRVData data = [] {
        std::mt19937_64 random(42);
        static const char* const kWords[] = {"connection", "policy", "update", "scan", "error", "received",
                                             "service", "started", "finished", "timeout", "retry", "signature"};
        NRVData bytes;
        bytes.reserve(kSize + 256);
        char line[256];
        while (bytes.size() < kSize) {
            const auto r = random();
            const int n = std::snprintf(line, sizeof line,
                                        "2026-12-09 21:%02d:%02d.%06u+0000 0x%06x Default 0x0 %u agentd: (core) [com.nerova.rivovovuvev:%s] %s %s id=%016llx value=%u\n",
                                        static_cast<int>(r % 60), static_cast<int>((r >> 6) % 60),
                                        static_cast<unsigned>((r >> 12) % 1000000), static_cast<unsigned>((r >> 32) & 0xFFFFFF),
                                        static_cast<unsigned>(400 + (r >> 20) % 50), kWords[(r >> 40) % 12],
                                        kWords[(r >> 44) % 12], kWords[(r >> 48) % 12],
                                        static_cast<unsigned long long>(random()), static_cast<unsigned>((r >> 52) % 10000));
            bytes.insert(bytes.end(), line, line + n);
        }
        bytes.resize(kSize);
        return bytes;
    }();
    return data;
}

void BM_gzipCompress(benchmark::State& state) {
    const NRVData& data = sampleData();
    std::size_t compressed = 0;
    for (auto _ : state) {
        auto packed = NSDataExtensions::gzipCompress(data);
        compressed = packed ? packed->size() : 0;
        benchmark::DoNotOptimize(packed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    state.counters["ratio"] = static_cast<double>(compressed) / static_cast<double>(data.size());
}

void BM_gzipDecompress(benchmark::State& state) {
    const NRVData packed = *NSDataExtensions::gzipCompress(sampleData());
    for (auto _ : state) benchmark::DoNotOptimize(NSDataExtensions::gzipDecompress(packed));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sampleData().size()));
}

void BM_hexRepresentation(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(NSDataExtensions::hexRepresentation(sampleData()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sampleData().size()));
}

void BM_base64EncodedString(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Base64::base64EncodedString(sampleData()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sampleData().size()));
}

void BM_base64EncodedStringWithoutLineBreaks(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Base64::base64EncodedStringWithoutLineBreaks(sampleData()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sampleData().size()));
}

void BM_dataFromBase64String(benchmark::State& state) {
    const std::string text = Base64::base64EncodedString(sampleData());
    for (auto _ : state) benchmark::DoNotOptimize(Base64::dataFromBase64String(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sampleData().size()));
}

void BM_touchOutput(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0)) << 20;
    for (auto _ : state) {
        std::string buffer(size, 'x');
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// One shell command per iteration: the command runner (pipes, drain
// threads, process group, deadline, UTF-8 check) against a bare posix_spawn
// and waitpid of the same shell and command. The difference is the runner's
// overhead per command.
void BM_posixSpawnAlone(benchmark::State& state) {
    char shell[] = "/bin/zsh", flag[] = "-c", command[] = "true";
    char* args[] = {shell, flag, command, nullptr};
    for (auto _ : state) {
        pid_t pid = -1;
        if (::posix_spawn(&pid, shell, nullptr, nullptr, args, environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

void BM_commandRunnerPerCommand(benchmark::State& state) {
    const CommandRunner runner({"true"}, 60, false);
    for (auto _ : state) {
        auto result = runner.run();
        benchmark::DoNotOptimize(result);
    }
}

// Listing every process: the process table read from /proc in one block,
// against `ps -e` (output to the null device) in the same run. The list
// should take at most the time of `ps -e`.
void BM_GetBSDProcessList(benchmark::State& state) {
    std::size_t count = 0;
    for (auto _ : state) {
        NRVKinfoProc* list = nullptr;
        if (GetBSDProcessList(&list, &count) != 0) {
            state.SkipWithError("GetBSDProcessList failed");
            break;
        }
        std::free(list);
    }
    state.counters["processes"] = static_cast<double>(count);
}

void BM_psE(benchmark::State& state) {
    char ps[] = "/usr/bin/ps", flag[] = "-e";
    char* args[] = {ps, flag, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t pid = -1;
        if (::posix_spawn(&pid, ps, &actions, nullptr, args, environ) != 0) {
            state.SkipWithError("posix_spawn of ps failed");
            break;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}

BENCHMARK(BM_GetBSDProcessList)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_psE)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The cache manager with 1k, 10k and 100k entries: "per_entry" (inserting
// every entry into a new memory-only cache, until the last change has run)
// and "per_lookup" (looking up every key of a full cache) must stay flat as
// the cache grows.
class BenchEntry final : public NRVCacheEntry {
public:
    explicit BenchEntry(long long value) : value_(value) {}
    bool expired() const override { return false; }
    int compare(const NRVCacheEntry& other) const override {
        const long long v = static_cast<const BenchEntry&>(other).value_;
        return value_ < v ? -1 : value_ > v ? 1 : 0;
    }
    NRVValue encode() const override { return NRVValue(value_); }

private:
    long long value_;
};

std::vector<std::string> cacheKeys(std::size_t count) {
    std::vector<std::string> keys;
    keys.reserve(count);
    for (std::size_t i = 0; i < count; ++i) keys.push_back("com.nerova.cache.key." + std::to_string(i * 7919 % count));
    return keys;
}

void BM_cacheInsert(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    const auto keys = cacheKeys(count);
    std::vector<NRVCacheEntryRef> entries;
    for (std::size_t i = 0; i < count; ++i) entries.push_back(std::make_shared<BenchEntry>(static_cast<long long>(i)));
    for (auto _ : state) {
        NRVCacheManager cache("bench", 0);
        for (std::size_t i = 0; i < count; ++i) cache.updateCacheData(entries[i], keys[i]);
        cache.taskQueue()->syncBarrier([] {});
    }
    state.counters["per_entry"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate |
                                                                                 benchmark::Counter::kInvert);
}

void BM_cacheLookup(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    const auto keys = cacheKeys(count);
    NRVCacheManager cache("bench", 0);
    for (std::size_t i = 0; i < count; ++i) cache.updateCacheData(std::make_shared<BenchEntry>(static_cast<long long>(i)), keys[i]);
    cache.taskQueue()->syncBarrier([] {});
    std::mt19937 random(7);
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = random() % count;
    for (auto _ : state) {
        std::size_t found = 0;
        for (std::size_t i : order) found += cache.cacheDataForKey(keys[i]) != nullptr;
        if (found != count) state.SkipWithError("an entry went missing");
    }
    state.counters["per_lookup"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate |
                                                                                  benchmark::Counter::kInvert);
}

// The same look-ups in a bare hash map: what memory alone costs as the
// table outgrows the processor caches, to set against per_lookup.
void BM_hashMapLookupBaseline(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    const auto keys = cacheKeys(count);
    std::unordered_map<std::string, NRVCacheEntryRef> map;
    for (std::size_t i = 0; i < count; ++i) map.emplace(keys[i], std::make_shared<BenchEntry>(static_cast<long long>(i)));
    std::mt19937 random(7);
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = random() % count;
    for (auto _ : state) {
        std::size_t found = 0;
        for (std::size_t i : order) {
            auto it = map.find(keys[i]);
            NRVCacheEntryRef entry = it == map.end() ? nullptr : it->second;
            found += entry != nullptr;
        }
        benchmark::DoNotOptimize(found);
    }
    state.counters["per_lookup"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate |
                                                                                  benchmark::Counter::kInvert);
}

BENCHMARK(BM_cacheInsert)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_cacheLookup)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_hashMapLookupBaseline)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK(BM_posixSpawnAlone)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_commandRunnerPerCommand)->Unit(benchmark::kMicrosecond)->UseRealTime();
// Building a dictionary key by key and reading every key back. The
// "per_key" counter must stay flat from 10k to 1M keys (linear growth).
void BM_dictionaryBuildAndRead(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    std::vector<std::string> keys;
    keys.reserve(count);
    for (std::size_t i = 0; i < count; ++i) keys.push_back("com.nerova.key." + std::to_string(i * 7919 % count));
    for (auto _ : state) {
        NRVDictionary d;
        for (const auto& key : keys) d.set(key, static_cast<long long>(key.size()));
        std::size_t found = 0;
        for (const auto& key : keys) found += d.find(key) != nullptr;
        benchmark::DoNotOptimize(found);
    }
    state.counters["per_key"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate |
                                                                             benchmark::Counter::kInvert);
}

// A ZTNA status list of 60,000 events, read as the status report reads it
// (binary property list to values); must stay well under a second.
void BM_readStatusList60000Events(benchmark::State& state) {
    NRVArray events;
    for (int i = 0; i < 60000; ++i) {
        NRVDictionary event;
        event.set("eventType", i % 15);
        event.set("EventDate", NRVDate{757382400.0 + i});
        event.set("eventZTNAStatus", i % 4);
        NRVDictionary parameters;
        parameters.set("appName", "wiki-" + std::to_string(i));
        parameters.set("reason", "policy");
        event.set("eventParameters", std::move(parameters));
        events.push_back(std::move(event));
    }
    NRVDictionary list;
    list.set("Events", std::move(events));
    const std::string bytes = *platform::plist::serialize(NRVValue(std::move(list)), platform::plist::Format::Binary);
    for (auto _ : state) benchmark::DoNotOptimize(platform::plist::readData(bytes));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

// A preference list of 100,000 keys, written and read back.
void BM_readList100000Keys(benchmark::State& state) {
    NRVDictionary many;
    for (int i = 0; i < 100000; ++i) many.set("key" + std::to_string(i), i);
    const std::string bytes = *platform::plist::serialize(NRVValue(std::move(many)), platform::plist::Format::Binary);
    for (auto _ : state) benchmark::DoNotOptimize(platform::plist::readData(bytes));
}

BENCHMARK(BM_readList100000Keys)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_dictionaryBuildAndRead)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_readStatusList60000Events)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_touchOutput)->Arg(144)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_gzipCompress)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_gzipDecompress)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_hexRepresentation)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_base64EncodedString)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_base64EncodedStringWithoutLineBreaks)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_dataFromBase64String)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    bool cold = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cold") == 0) cold = true;
        if (std::strncmp(argv[i], "--dump=", 7) == 0) {
            std::ofstream out(argv[i] + 7, std::ios::binary);
            out.write(reinterpret_cast<const char*>(sampleData().data()), static_cast<std::streamsize>(kSize));
            return out ? 0 : 1;
        }
    }
    if (!cold) {
        mallopt(M_MMAP_THRESHOLD, 1 << 30);
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
