#include "platform/process/ProcessInfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/fd/DescriptorWatcher.h"
#include "platform/fd/ScopedFD.h"

namespace platform::process {

namespace {

constexpr std::size_t kMaxProcFileSize = 1u << 20;  // /proc texts are small; argument lists may reach ARG_MAX

std::optional<std::string> readProcFile(const std::string& path, std::size_t cap = kMaxProcFileSize) {
    ScopedFD fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string out;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > cap) return std::nullopt;
    }
}

// The fields of /proc/<pid>/stat after the command name, which sits in
// parentheses and may itself hold blanks and parentheses.
struct StatLine {
    std::string name;
    std::vector<std::string> rest;  // rest[0] is field 3 (state)
};

std::optional<StatLine> readStat(pid_t pid) {
    auto text = readProcFile("/proc/" + std::to_string(pid) + "/stat");
    if (!text) return std::nullopt;
    auto open = text->find('(');
    auto close = text->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
    StatLine s;
    s.name = text->substr(open + 1, close - open - 1);
    std::istringstream rest(text->substr(close + 1));
    std::string field;
    while (rest >> field) s.rest.push_back(field);
    if (s.rest.size() < 20) return std::nullopt;
    return s;
}

std::optional<std::uint64_t> toU64(const std::string& s) {
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return v;
}

// "Uid:\t1000\t1000\t1000\t1000" -> the numbers.
std::vector<std::uint32_t> statusNumbers(const std::string& status, const std::string& key) {
    std::vector<std::uint32_t> out;
    std::istringstream in(status);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) != 0) continue;
        std::istringstream fields(line.substr(key.size() + 1));
        std::uint64_t v;
        while (fields >> v) out.push_back(static_cast<std::uint32_t>(v));
        break;
    }
    return out;
}

long clockTicks() {
    static const long ticks = [] {
        long t = ::sysconf(_SC_CLK_TCK);
        return t > 0 ? t : 100;
    }();
    return ticks;
}

}  // namespace

std::optional<std::uint64_t> processStartTime(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    auto s = readStat(pid);
    return s ? toU64(s->rest[19]) : std::nullopt;
}

std::optional<ProcessRecord> readProcessRecord(pid_t pid, platform::Error* error) {
    auto fail = [&] {
        if (error) *error = platform::Error{"", 0, "No process info found"};
        return std::nullopt;
    };
    if (pid <= 0) return fail();
    auto s = readStat(pid);
    auto status = readProcFile("/proc/" + std::to_string(pid) + "/status");
    if (!s || !status) return fail();
    auto uids = statusNumbers(*status, "Uid");
    auto gids = statusNumbers(*status, "Gid");
    auto ppid = toU64(s->rest[1]);
    auto start = toU64(s->rest[19]);
    if (uids.size() < 2 || gids.size() < 3 || !ppid || !start) return fail();
    ProcessRecord r;
    r.pid = pid;
    r.ppid = static_cast<pid_t>(*ppid);
    r.ruid = uids[0];
    r.euid = uids[1];
    r.rgid = gids[0];
    r.egid = gids[1];
    r.sgid = gids[2];
    r.name = s->name;
    r.startTimeTicks = *start;
    const long hz = clockTicks();
    std::uint64_t micros = (*start % static_cast<std::uint64_t>(hz)) * 1000000ull / static_cast<std::uint64_t>(hz);
    r.startSeconds = static_cast<std::int64_t>(bootTime().value_or(0)) + static_cast<std::int64_t>(*start / static_cast<std::uint64_t>(hz));
    r.startMicroseconds = static_cast<std::int32_t>(micros);
    return r;
}

std::optional<AuditToken> auditTokenForPid(pid_t pid) {
    auto r = readProcessRecord(pid);
    if (!r) return std::nullopt;
    auto status = readProcFile("/proc/" + std::to_string(pid) + "/loginuid");
    std::uint32_t auditUid = r->ruid;
    if (status) {
        if (auto v = toU64(status->substr(0, status->find_first_of("\n")))) auditUid = static_cast<std::uint32_t>(*v);
    }
    return AuditToken::make(auditUid, r->euid, r->egid, r->ruid, r->rgid, pid, r->startTimeTicks);
}

bool isAuditTokenCurrent(const AuditToken& token) {
    if (!token.isTrustworthyShape()) return false;
    auto start = processStartTime(token.pid());
    return start && *start == token.startTime();
}

std::optional<std::string> executablePath(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    char buf[PATH_MAX];
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
}

std::optional<std::vector<pid_t>> allProcessIDs(platform::Error* error) {
    DIR* dir = ::opendir("/proc");
    if (!dir) {
        const int code = errno;
        if (error)
            *error = platform::Error{"opendir", code,
                                     "Failed to count running processes: " + std::to_string(code) + " " +
                                         std::strerror(code)};
        return std::nullopt;
    }
    std::vector<pid_t> out;
    while (struct dirent* e = ::readdir(dir)) {
        if (auto v = toU64(e->d_name); v && *v > 0 && *v <= static_cast<std::uint64_t>(INT32_MAX)) {
            out.push_back(static_cast<pid_t>(*v));
        }
    }
    ::closedir(dir);
    return out;
}

std::optional<std::vector<std::string>> processArguments(pid_t pid, platform::Error* error) {
    auto text = pid > 0 ? readProcFile("/proc/" + std::to_string(pid) + "/cmdline", 4u << 20) : std::nullopt;
    if (!text) {
        if (error) *error = platform::Error{"", 0, "Failed to get arguments"};
        return std::nullopt;
    }
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text->size()) {
        std::size_t end = text->find('\0', start);
        if (end == std::string::npos) end = text->size();
        out.push_back(text->substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::uint64_t physicalFootprint(pid_t pid) {
    auto status = pid > 0 ? readProcFile("/proc/" + std::to_string(pid) + "/status") : std::nullopt;
    if (!status) return 0;
    auto anon = statusNumbers(*status, "RssAnon");
    auto swap = statusNumbers(*status, "VmSwap");
    std::uint64_t kib = (anon.empty() ? 0 : anon[0]) + (swap.empty() ? 0 : swap[0]);
    return kib * 1024;
}

std::optional<double> bootTime() {
    auto text = readProcFile("/proc/stat");
    if (!text) return std::nullopt;
    auto at = text->find("\nbtime ");
    if (at == std::string::npos) return std::nullopt;
    auto v = toU64(text->substr(at + 7, text->find('\n', at + 7) - at - 7));
    if (!v) return std::nullopt;
    return static_cast<double>(*v);
}

SystemName systemName() {
    struct utsname u {};
    if (::uname(&u) != 0) return {};
    return SystemName{u.release, u.machine};
}

OperatingSystemVersion operatingSystemVersion() {
    OperatingSystemVersion v;
    auto text = readProcFile("/etc/os-release", 64 * 1024);
    if (!text) return v;
    std::istringstream in(*text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VERSION_ID=", 0) != 0) continue;
        std::string value = line.substr(11);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        long* parts[] = {&v.majorVersion, &v.minorVersion, &v.patchVersion};
        std::istringstream numbers(value);
        std::string piece;
        for (long* p : parts) {
            if (!std::getline(numbers, piece, '.')) break;
            auto n = toU64(piece);
            if (!n) break;
            *p = static_cast<long>(*n);
        }
        break;
    }
    return v;
}

namespace {

template <typename Call>
bool withLookupBuffer(Call call) {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = hint > 0 ? static_cast<std::size_t>(hint) : 4096;
    // Entries can exceed the hint; grow on ERANGE up to a sane bound.
    for (; size <= (1u << 20); size *= 2) {
        std::vector<char> buf(size);
        int rc = call(buf);
        if (rc != ERANGE) return rc == 0;
    }
    return false;
}

}  // namespace

std::optional<std::string> userName(std::uint32_t uid) {
    std::optional<std::string> out;
    withLookupBuffer([&](std::vector<char>& buf) {
        struct passwd pw {};
        struct passwd* result = nullptr;
        int rc = ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &result);
        if (rc == 0 && result && result->pw_name) out = result->pw_name;
        return rc;
    });
    return out;
}

std::optional<std::string> groupName(std::uint32_t gid) {
    std::optional<std::string> out;
    withLookupBuffer([&](std::vector<char>& buf) {
        struct group gr {};
        struct group* result = nullptr;
        int rc = ::getgrgid_r(gid, &gr, buf.data(), buf.size(), &result);
        if (rc == 0 && result && result->gr_name) out = result->gr_name;
        return rc;
    });
    return out;
}

std::uint32_t realUserID() { return ::getuid(); }

std::uint32_t effectiveUserID() { return ::geteuid(); }

bool sharesUserNamespace(pid_t pid) {
    if (pid <= 0) return false;
    const std::string proc = "/proc/" + std::to_string(pid);
    struct stat ours {}, theirs {};
    if (::stat("/proc/self/ns/user", &ours) != 0) return false;
    if (::stat((proc + "/ns/user").c_str(), &theirs) == 0)
        return ours.st_dev == theirs.st_dev && ours.st_ino == theirs.st_ino;
    if (errno != EACCES && errno != EPERM) return false;
    auto ourMap = readProcFile("/proc/self/uid_map");
    auto theirMap = readProcFile(proc + "/uid_map");
    return ourMap && theirMap && !ourMap->empty() && *ourMap == *theirMap;
}

bool isUserInGroup(std::uint32_t uid, const std::string& name) {
    std::optional<std::uint32_t> groupID;
    withLookupBuffer([&](std::vector<char>& buf) {
        struct group gr {};
        struct group* result = nullptr;
        int rc = ::getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &result);
        if (rc == 0 && result) groupID = result->gr_gid;
        return rc;
    });
    if (!groupID) return false;
    std::optional<std::string> user;
    std::uint32_t primary = 0;
    withLookupBuffer([&](std::vector<char>& buf) {
        struct passwd pw {};
        struct passwd* result = nullptr;
        int rc = ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &result);
        if (rc == 0 && result && result->pw_name) {
            user = result->pw_name;
            primary = result->pw_gid;
        }
        return rc;
    });
    if (!user) return false;
    if (primary == *groupID) return true;
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(user->c_str(), primary, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            for (gid_t g : groups)
                if (g == *groupID) return true;
            return false;
        }
        groups.resize(static_cast<std::size_t>(count) > groups.size() ? static_cast<std::size_t>(count) : groups.size() * 2);
    }
    return false;
}

std::optional<std::string> fullName(std::uint32_t uid) {
    std::optional<std::string> out;
    withLookupBuffer([&](std::vector<char>& buf) {
        struct passwd pw {};
        struct passwd* result = nullptr;
        int rc = ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &result);
        if (rc == 0 && result && result->pw_gecos) {
            std::string gecos = result->pw_gecos;
            gecos = gecos.substr(0, gecos.find(','));
            if (!gecos.empty()) out = gecos;
        }
        return rc;
    });
    return out;
}

namespace {

class LinuxExitWatch : public ProcessExitWatch {
public:
    LinuxExitWatch(pid_t pid, std::function<void()> onExit, std::unique_ptr<DescriptorWatcher> watcher)
        : pid_(pid), onExit_(std::move(onExit)), watcher_(std::move(watcher)) {
        long fd = ::syscall(SYS_pidfd_open, pid, 0);
        if (fd >= 0) {
            pidfd_.reset(static_cast<int>(fd));
            watcher_->add(pidfd_.get(), [this] { return exited(); });
            return;
        }
        // No pidfd and ESRCH: the process is already gone; the first tick
        // reports it at once. Without a pidfd the process is looked at on
        // every tick.
        gone_ = errno == ESRCH;
        ticks_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
        struct itimerspec every {};
        every.it_value.tv_nsec = 1;
        every.it_interval.tv_nsec = kTickNanoseconds;
        if (ticks_ && ::timerfd_settime(ticks_.get(), 0, &every, nullptr) == 0)
            watcher_->add(ticks_.get(), [this] { return ticked(); });
    }
    ~LinuxExitWatch() override { cancel(); }

    void cancel() override { watcher_->stop(); }

private:
    static constexpr long kTickNanoseconds = 100 * 1000 * 1000;

    bool processGone() const { return ::kill(pid_, 0) != 0 && errno == ESRCH; }

    bool ticked() {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(ticks_.get(), &count, sizeof count);
        if (!gone_ && !processGone()) return true;
        return exited();
    }

    // On the watcher's thread, once: the owner may destroy the watch from
    // inside onExit, so nothing of it is touched after the call.
    bool exited() {
        auto onExit = onExit_;  // a copy: destroying the watch would free the function while it runs
        onExit();
        return false;
    }

    pid_t pid_;
    std::function<void()> onExit_;
    ScopedFD pidfd_;
    ScopedFD ticks_;
    bool gone_ = false;
    std::unique_ptr<DescriptorWatcher> watcher_;
};

}  // namespace

std::unique_ptr<ProcessExitWatch> ProcessExitWatch::start(pid_t pid, std::function<void()> onExit) {
    if (pid <= 0 || !onExit) return nullptr;
    auto watcher = DescriptorWatcher::create();
    if (!watcher) return nullptr;
    return std::make_unique<LinuxExitWatch>(pid, std::move(onExit), std::move(watcher));
}

}  // namespace platform::process
