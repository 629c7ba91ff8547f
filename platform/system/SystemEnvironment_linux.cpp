#include "platform/system/SystemEnvironment.h"

#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "platform/thread/Mutex.h"

namespace platform {

namespace {

std::string stripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::optional<std::string> homeOfUser(const std::string& name) {
    struct passwd pw {};
    struct passwd* result = nullptr;
    std::string buffer(16384, '\0');
    int rc = name.empty() ? getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result)
                          : getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &result);
    if (rc != 0 || !result || !pw.pw_dir) return std::nullopt;
    return std::string(pw.pw_dir);
}

std::vector<std::string>& storedArguments() {
    static std::vector<std::string> arguments;
    return arguments;
}

// A real folder (not a link) of this user that nobody else may write.
bool isPrivateFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Creates the folder 0700 or takes it over when it is already this user's.
bool makePrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return false;
    if ((st.st_mode & 0077) != 0 && ::chmod(path.c_str(), 0700) != 0) return false;
    return true;
}

}  // namespace

std::string runtimeRoot() {
    const char* root = std::getenv("NRV_RUNTIME_ROOT");
    if (root && *root) return stripTrailingSlashes(root);
    return "/run/nerova";
}

std::string systemRoot() {
    const char* root = std::getenv("NRV_SYSTEM_ROOT");
    if (!root || !*root) return "";
    std::string r = stripTrailingSlashes(root);
    return r == "/" ? "" : r;
}

std::string resolveSystemPath(const std::string& path) {
    if (!path.empty() && path[0] == '~') return expandTilde(path);
    if (path.empty() || path[0] != '/') return path;
    return systemRoot() + path;
}

std::string unresolveSystemPath(const std::string& realPath) {
    const std::string root = systemRoot();
    if (root.empty()) return realPath;
    if (realPath.size() > root.size() && realPath.compare(0, root.size(), root) == 0 && realPath[root.size()] == '/')
        return realPath.substr(root.size());
    if (realPath == root) return "/";
    return realPath;
}

std::string expandTilde(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    const std::size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string home;
    if (user.empty()) {
        home = homeDirectory();
    } else if (auto h = homeOfUser(user)) {
        home = *h;
    } else {
        return path;  // an unknown user: left as written, as the platform does
    }
    home = stripTrailingSlashes(home);
    if (slash == std::string::npos) return home;
    std::string rest = path.substr(slash);
    return home == "/" ? rest : home + rest;
}

namespace {

// Runs a getpw*_r lookup with a buffer that grows while the lookup says
// ERANGE: entries larger than the advertised limit exist (long group lists in
// directory services). The entry, or null when there is none.
template <class Lookup>
std::optional<passwd> lookUpUser(Lookup lookup, std::string& buffer) {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = hint > 0 ? static_cast<std::size_t>(hint) : 1024;
    constexpr std::size_t kLimit = 1 << 20;
    for (;;) {
        passwd pw {};
        passwd* result = nullptr;
        buffer.assign(size, '\0');
        int rc = lookup(&pw, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE && size < kLimit) {
            size *= 2;
            continue;
        }
        if (rc != 0 || !result) return std::nullopt;
        return pw;
    }
}

}  // namespace

std::optional<std::string> userNameForUserID(std::uint32_t uid) {
    std::string buffer;
    auto pw = lookUpUser([uid](passwd* p, char* b, std::size_t n, passwd** r) {
        return ::getpwuid_r(static_cast<uid_t>(uid), p, b, n, r);
    }, buffer);
    if (!pw || !pw->pw_name) return std::nullopt;
    return std::string(pw->pw_name);
}

std::optional<std::uint32_t> userIDForUserName(const std::string& name) {
    if (name.empty()) return std::nullopt;
    std::string buffer;
    auto pw = lookUpUser([&name](passwd* p, char* b, std::size_t n, passwd** r) {
        return ::getpwnam_r(name.c_str(), p, b, n, r);
    }, buffer);
    if (!pw) return std::nullopt;
    return static_cast<std::uint32_t>(pw->pw_uid);
}

std::optional<std::string> loginName() {
    auto name = userNameForUserID(static_cast<std::uint32_t>(getuid()));
    if (name && name->empty()) return std::nullopt;
    return name;
}

std::string userName() { return loginName().value_or(std::to_string(getuid())); }

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return stripTrailingSlashes(home);
    if (auto h = homeOfUser("")) return stripTrailingSlashes(*h);
    return "/";
}

std::optional<std::string> localizedHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !*name) return std::nullopt;
    return std::string(name);
}

std::optional<std::string> operatingSystemVersionString() {
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            std::string value = line.substr(12);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            if (!value.empty()) return value;
        }
    }
    return std::nullopt;
}

std::string temporaryDirectory() {
    // The run stages keychains and keys here: the folder must be one that no
    // other user can write, or a planted link or folder would receive them.
    static platform::Mutex mutex;
    platform::MutexLock lock(mutex);
    const std::string privateName = "nerova-" + std::to_string(getuid());
    if (const char* tmp = std::getenv("TMPDIR"); tmp && tmp[0] == '/') {
        const std::string folder = stripTrailingSlashes(tmp);
        if (folder != "/" && isPrivateFolder(folder)) return folder + "/";
        const std::string inside = (folder == "/" ? "" : folder) + "/" + privateName;
        if (makePrivateFolder(inside)) return inside + "/";
    }
    // A relative TMPDIR names no folder reliably: it is not used at all.
    if (const std::string folder = "/tmp/" + privateName; makePrivateFolder(folder)) return folder + "/";
    // Someone else holds that name: fall back to a folder in the home.
    const std::string cache = homeDirectory() + "/.cache";
    ::mkdir(cache.c_str(), 0700);
    if (const std::string folder = cache + "/nerova-tmp"; makePrivateFolder(folder)) return folder + "/";
    return "";
}

std::string desktopDirectory() {
    if (const char* d = std::getenv("XDG_DESKTOP_DIR"); d && *d) return stripTrailingSlashes(expandTilde(d));
    return homeDirectory() + "/Desktop";
}

std::string userLogsDirectory() { return homeDirectory() + "/Library/Logs"; }

std::string currentDirectoryPath() {
    std::string buffer(PATH_MAX, '\0');
    if (!getcwd(buffer.data(), buffer.size())) return "";
    return buffer.c_str();
}

void setProcessArguments(int argc, char** argv) {
    auto& args = storedArguments();
    args.clear();
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
}

const std::vector<std::string>& processArguments() { return storedArguments(); }

std::string executablePath() {
    std::string buffer(PATH_MAX, '\0');
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return "";
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

std::string executableDirectory() {
    std::string path = executablePath();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash == 0 ? 1 : slash);
}

namespace {

// Asked for every log record. A forked child forgets the parent's number;
// a child started any other way runs none of our code before it executes.
std::atomic<int> cachedProcessIdentifier{0};

void forgetProcessIdentifierInChild() { cachedProcessIdentifier.store(0, std::memory_order_relaxed); }

}  // namespace

int processIdentifier() {
    int pid = cachedProcessIdentifier.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const bool registered = pthread_atfork(nullptr, nullptr, &forgetProcessIdentifierInChild) == 0;
        (void)registered;
        pid = static_cast<int>(getpid());
        cachedProcessIdentifier.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

std::string processName() {
    std::string path = executablePath();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace platform
