#include "foundation/NSProcessInfoExtensions.h"

#include <array>
#include <cctype>
#include <map>
#include <memory>

#include "foundation/NRVUnicodeScalars.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/fs/FileManager.h"
#include "platform/thread/Mutex.h"
#include "platform/memory/NoDestructor.h"

namespace dispatch = platform::dispatch;
namespace process = platform::process;

namespace NSProcessInfoExtensions {

namespace {

constexpr std::size_t kMaxCachedNames = 100;
constexpr std::uint64_t kCacheCleanIntervalSeconds = 43200;

const std::shared_ptr<dispatch::DispatchQueue>& processInfoQueue() {
    static const platform::NoDestructor<std::shared_ptr<dispatch::DispatchQueue>> q(
        dispatch::DispatchQueue::createSerial("com.nerova.nsprocessinfo_ext.processInfoQueue"));
    return *q;
}

const std::shared_ptr<dispatch::DispatchQueue>& processExitQueue() {
    static const platform::NoDestructor<std::shared_ptr<dispatch::DispatchQueue>> q(
        dispatch::DispatchQueue::createSerial("com.nerova.nsprocessinfo_ext.processExitQueue"));
    return *q;
}

// The three name caches; touched only on the user-info queue.
struct NameCaches {
    std::map<std::uint32_t, std::string> posix, group, full;
};

struct UserInfo {
    std::shared_ptr<dispatch::DispatchQueue> queue = dispatch::DispatchQueue::createSerial(
        "com.nerova.nsprocessinfo_ext.userInfoQueue", dispatch::QualityOfService::UserInteractive);
    NameCaches caches;
    std::shared_ptr<dispatch::DispatchSourceTimer> cleanTimer;
};

UserInfo& userInfo() {
    // Lives as long as the process: its timer may fire during exit.
    static platform::NoDestructor<UserInfo> info;
    static const bool timerStarted = [] {
        UserInfo* u = info.get();
        u->cleanTimer = dispatch::DispatchSourceTimer::create(u->queue);
        const std::uint64_t interval = kCacheCleanIntervalSeconds * static_cast<std::uint64_t>(dispatch::NSEC_PER_SEC);
        u->cleanTimer->setTimer(dispatch::dispatchTime(dispatch::DISPATCH_TIME_NOW, static_cast<std::int64_t>(interval)),
                                interval, 0);
        u->cleanTimer->setEventHandler([u] {
            dispatch::dispatchAssertQueue(*u->queue);
            u->caches = NameCaches{};
        });
        u->cleanTimer->resume();
        return true;
    }();
    (void)timerStarted;
    return *info;
}

std::optional<std::string> cachedName(std::map<std::uint32_t, std::string> NameCaches::*which, std::uint32_t id,
                                      std::optional<std::string> (*lookup)(std::uint32_t)) {
    UserInfo& u = userInfo();
    std::optional<std::string> out;
    u.queue->sync([&] {
        dispatch::dispatchAssertQueue(*u.queue);
        auto& cache = u.caches.*which;
        if (auto it = cache.find(id); it != cache.end()) {
            out = it->second;
            return;
        }
        out = lookup(id);
        if (!out) return;
        if (cache.size() >= kMaxCachedNames) cache.clear();
        cache[id] = *out;
    });
    return out;
}

bool decodesAsUTF8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t at = i;
        const char32_t c = NRVUnicodeScalars::next(text, i);
        if (c == 0xFFFD && text.substr(at, i - at) != "\xEF\xBF\xBD") return false;
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
    }
    return true;
}

NRVDate dateOf(std::int64_t seconds, std::int32_t micros) {
    return NRVDate::fromUnix(static_cast<double>(seconds) + static_cast<double>(micros) / 1e6);
}

// One kernel read on the process-info queue, waited for at most `timeout`
// seconds (for ever when negative). The read keeps its result to itself
// until it ends; a caller that stopped waiting has marked the state
// abandoned, and the late result is dropped.
struct Read {
    std::optional<process::ProcessRecord> record;
    std::optional<std::string> error;
};

Read readWithTimeout(pid_t pid, double timeoutSeconds) {
    struct Shared {
        platform::Mutex mutex;
        bool abandoned GUARDED_BY(mutex) = false;
        Read result GUARDED_BY(mutex);
    };
    auto shared = std::make_shared<Shared>();
    auto group = dispatch::DispatchGroup::create();
    group->enter();
    processInfoQueue()->async([shared, group, pid] {
        platform::Error error;
        auto record = process::readProcessRecord(pid, &error);
        {
            platform::MutexLock lock(shared->mutex);
            if (!shared->abandoned) {
                shared->result.record = record;
                if (!record) shared->result.error = error.description;
            }
        }
        group->leave();
    });
    const dispatch::DispatchTime deadline =
        timeoutSeconds < 0 ? dispatch::DISPATCH_TIME_FOREVER
                           : dispatch::dispatchTime(dispatch::DISPATCH_TIME_NOW,
                                                    static_cast<std::int64_t>(timeoutSeconds * 1e9));
    const long rc = group->wait(deadline);
    platform::MutexLock lock(shared->mutex);
    shared->abandoned = true;
    Read out = shared->result;
    if (rc != 0) out = Read{std::nullopt, std::string("Timed out")};
    return out;
}

}  // namespace

long systemMajorNumber() {
    const std::string release = process::systemName().release;
    long value = 0;
    for (char c : release) {
        if (c == '.') break;
        if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
        value = value * 10 + (c - '0');
        if (value > 1000000) return 0;
    }
    return value;
}

std::string systemMajorString() { return std::to_string(osVersion().majorVersion) + ".0"; }

long long systemMajorNumberForSystemMajorString(const std::string& text) {
    constexpr long long kNone = std::numeric_limits<long long>::max();
    const auto dot = text.find('.');
    if (dot == std::string::npos || text.find('.', dot + 1) != std::string::npos) return kNone;
    const std::string major = text.substr(0, dot), minor = text.substr(dot + 1);
    if (major.empty() || minor.empty() || major.size() > 9) return kNone;
    for (char c : major) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return kNone;
    }
    for (char c : minor) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return kNone;
    }
    const long long x = std::stoll(major);
    return x >= 10 ? x + 9 : kNone;
}

OperatingSystemVersion osVersion() {
    auto v = process::operatingSystemVersion();
    return OperatingSystemVersion{v.majorVersion, v.minorVersion, v.patchVersion};
}

std::string osVersionString() {
    auto v = osVersion();
    return std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion) + "." + std::to_string(v.patchVersion);
}

std::string osNameForVersion(const OperatingSystemVersion& version) {
    struct Row {
        long major;
        const char* name;
    };
    static constexpr std::array<Row, 6> kNames = {{
        {12, "macOS Monterey 12"},
        {13, "macOS Ventura 13"},
        {14, "macOS Sonoma 14"},
        {15, "macOS Sequoia 15"},
        {26, "macOS Tahoe 26"},
        {27, "macOS Golden Gate 27"},
    }};
    const std::string minor = std::to_string(version.minorVersion);
    for (const auto& row : kNames) {
        if (row.major == version.majorVersion) return std::string(row.name) + "." + minor;
    }
    return "macOS " + std::to_string(version.majorVersion) + ".0." + minor;
}

std::string osName() { return osNameForVersion(osVersion()); }

std::string machineHardwareName() { return process::systemName().machine; }
bool isArchitectureX86_64() { return machineHardwareName() == "x86_64"; }
bool isArchitectureArm64() {
    const std::string m = machineHardwareName();
    return m == "arm64" || m == "aarch64";
}
bool isTranslatedEnvironment() { return false; }
std::string processorArchitecture() { return isArchitectureArm64() || isTranslatedEnvironment() ? "arm64" : "x86_64"; }
bool isARMMachine() { return processorArchitecture() == "arm64"; }
bool isMacOS12MontereyOrBelow() { return systemMajorNumber() < 22; }
bool isMacOS12Monterey() { return systemMajorNumber() == 21; }

NRVDate dateWithLastBootTime() {
    if (auto boot = process::bootTime()) return NRVDate::fromUnix(*boot);
    return NRVDate::fromUnix(static_cast<double>(std::time(nullptr)));
}

std::uint64_t memoryUsageForPid(pid_t pid) { return process::physicalFootprint(pid); }

void processInfoForPid(pid_t pid, const ProcessInfoBlock& block) { processInfoForPid(pid, -1, block); }

void processInfoForPid(pid_t pid, double timeoutSeconds, const ProcessInfoBlock& block) {
    Read r = readWithTimeout(pid, timeoutSeconds);
    if (!block) return;
    if (!r.record) {
        block(0, 0, 0, std::nullopt, std::nullopt, r.error);
        return;
    }
    const auto& p = *r.record;
    block(p.ppid, p.ruid, p.euid, p.name, dateOf(p.startSeconds, p.startMicroseconds), std::nullopt);
}

void processInfo2ForPid(pid_t pid, double timeoutSeconds, const ProcessInfo2Block& block) {
    Read r = readWithTimeout(pid, timeoutSeconds);
    if (!block) return;
    if (!r.record) {
        block(0, 0, 0, 0, 0, std::nullopt, 0, 0, r.error);
        return;
    }
    const auto& p = *r.record;
    // The saved group id stands for the "effective" one, as everywhere in this category.
    block(p.ppid, p.ruid, p.euid, p.rgid, p.sgid, p.name, p.startSeconds, p.startMicroseconds, std::nullopt);
}

std::optional<std::string> processInfo2ForPID(pid_t pid, pid_t* outParentPID, std::uint32_t* outUserID,
                                              std::uint32_t* outEffectiveUserID, std::uint32_t* outGroupID,
                                              std::uint32_t* outEffectiveGroupID, std::optional<std::string>* outProcessName,
                                              std::int64_t* outStartTimeSecs, std::int32_t* outStartTimeUSecs) {
    platform::Error error;
    auto p = process::readProcessRecord(pid, &error);
    process::ProcessRecord zero;
    const process::ProcessRecord& r = p ? *p : zero;
    if (outParentPID) *outParentPID = r.ppid;
    if (outUserID) *outUserID = r.ruid;
    if (outEffectiveUserID) *outEffectiveUserID = r.euid;
    if (outGroupID) *outGroupID = r.rgid;
    if (outEffectiveGroupID) *outEffectiveGroupID = r.sgid;
    if (outProcessName) *outProcessName = p ? std::optional<std::string>(r.name) : std::nullopt;
    if (outStartTimeSecs) *outStartTimeSecs = r.startSeconds;
    if (outStartTimeUSecs) *outStartTimeUSecs = r.startMicroseconds;
    if (!p) return error.description;
    return std::nullopt;
}

std::optional<std::string> processPathForPid(pid_t pid) {
    std::optional<std::string> out;
    processInfoQueue()->sync([&] { out = process::executablePath(pid); });
    return out;
}

std::optional<std::string> posixNameForUid(std::uint32_t uid) { return cachedName(&NameCaches::posix, uid, process::userName); }
std::optional<std::string> groupNameForGid(std::uint32_t gid) { return cachedName(&NameCaches::group, gid, process::groupName); }
std::optional<std::string> fullNameForUid(std::uint32_t uid) { return cachedName(&NameCaches::full, uid, process::fullName); }

void cleanCache() {
    UserInfo& u = userInfo();
    u.queue->sync([&] { u.caches = NameCaches{}; });
}

std::size_t cachedNameCount() {
    UserInfo& u = userInfo();
    std::size_t n = 0;
    u.queue->sync([&] { n = u.caches.posix.size() + u.caches.group.size() + u.caches.full.size(); });
    return n;
}

void monitorProcessExit(pid_t pid, std::function<void()> block) {
    if (pid == 0 || !block) return;
    // Touched only on the exit queue. The watch holds the state until it
    // fires, so a watched process that never ends keeps one small record.
    struct Exit {
        bool pending = true;
        std::unique_ptr<process::ProcessExitWatch> watch;
        std::function<void()> block;
    };
    auto state = std::make_shared<Exit>();
    state->block = std::move(block);
    auto finish = [state] {
        dispatch::dispatchAssertQueue(*processExitQueue());
        if (!state->pending) return;
        state->pending = false;
        auto watch = std::move(state->watch);
        if (watch) watch->cancel();
        dispatch::DispatchQueue::global()->async(std::move(state->block));
    };
    processExitQueue()->async([state, pid, finish] {
        state->watch = process::ProcessExitWatch::start(pid, [finish] { processExitQueue()->async(finish); });
        // Covers a process that ended before the watch was armed (and a
        // kernel without process descriptors).
        processExitQueue()->after(dispatch::dispatchTime(dispatch::DISPATCH_TIME_NOW, 500 * dispatch::NSEC_PER_MSEC),
                                  [state, pid, finish] {
                                      if (state->pending && !process::readProcessRecord(pid)) finish();
                                  });
    });
}

void allRunningPidsWithReply(std::function<void(const NRVArray&, const std::optional<std::string>&)> reply) {
    processInfoQueue()->async([reply = std::move(reply)] {
        platform::Error error;
        auto pids = process::allProcessIDs(&error);
        NRVArray out;
        if (pids) {
            for (pid_t p : *pids) out.emplace_back(static_cast<long long>(p));
        }
        std::optional<std::string> err = pids ? std::nullopt : std::optional<std::string>(error.description);
        dispatch::DispatchQueue::global()->async([reply, out = std::move(out), err] { reply(out, err); });
    });
}

namespace {

void listProcesses(bool secondForm, std::function<void(const NRVArray&, const std::optional<std::string>&)> reply) {
    processInfoQueue()->async([secondForm, reply = std::move(reply)] {
        platform::Error error;
        auto pids = process::allProcessIDs(&error);
        NRVArray out;
        for (pid_t pid : pids.value_or(std::vector<pid_t>{})) {
            auto record = process::readProcessRecord(pid);
            if (!record) continue;  // ended meanwhile
            auto path = process::executablePath(pid);
            NRVDictionary d;
            d.set("pid", NRVValue(static_cast<long long>(record->pid)));
            d.set("ppid", NRVValue(static_cast<long long>(record->ppid)));
            d.set("uid", NRVValue(static_cast<long long>(record->ruid)));
            d.set("euid", NRVValue(static_cast<long long>(record->euid)));
            if (!secondForm) {
                if (!path) continue;
                d.set("name", NRVValue(platform::fs::lastPathComponent(*path)));
                d.set("path", NRVValue(*path));
                d.set("startTime", NRVValue(dateOf(record->startSeconds, record->startMicroseconds)));
                d.set("physicalFootPrint", NRVValue(static_cast<long long>(memoryUsageForPid(pid))));
            } else {
                if (record->name.empty()) continue;
                d.set("gid", NRVValue(static_cast<long long>(record->rgid)));
                d.set("egid", NRVValue(static_cast<long long>(record->sgid)));
                d.set("name", NRVValue(record->name));
                d.set("path", NRVValue(path.value_or(record->name)));
                d.set("seconds", NRVValue(static_cast<long long>(record->startSeconds)));
                d.set("uSeconds", NRVValue(static_cast<int>(record->startMicroseconds)));
            }
            out.emplace_back(std::move(d));
        }
        std::optional<std::string> err = pids ? std::nullopt : std::optional<std::string>(error.description);
        dispatch::DispatchQueue::global()->async([reply, out = std::move(out), err] { reply(out, err); });
    });
}

}  // namespace

void allRunningProcessesWithReply(std::function<void(const NRVArray&, const std::optional<std::string>&)> reply) {
    listProcesses(false, std::move(reply));
}

void allRunningProcesses2WithReply(std::function<void(const NRVArray&, const std::optional<std::string>&)> reply) {
    listProcesses(true, std::move(reply));
}

void processArgsForPid(pid_t pid, const std::function<void(const std::vector<std::string>&,
                                                           const std::optional<std::string>&)>& block) {
    std::vector<std::string> args;
    std::optional<std::string> error = processArgsForPid(pid, &args);
    if (block) block(args, error);
}

std::optional<std::string> processArgsForPid(pid_t pid, std::vector<std::string>* outArguments) {
    std::optional<std::vector<std::string>> args;
    platform::Error error;
    processInfoQueue()->sync([&] { args = process::processArguments(pid, &error); });
    if (outArguments) {
        outArguments->clear();
        for (auto& a : args.value_or(std::vector<std::string>{})) {
            if (decodesAsUTF8(a)) outArguments->push_back(std::move(a));
        }
    }
    if (!args) return error.description;
    return std::nullopt;
}

}  // namespace NSProcessInfoExtensions
