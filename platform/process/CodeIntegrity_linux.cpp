#include "platform/process/CodeIntegrity.h"

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fd/ScopedFD.h"

namespace platform::process {

namespace {

// /proc files of a process are generated text; these bounds only keep a
// pathological process (hundreds of thousands of mappings) from costing
// without limit: such a process is refused.
constexpr std::size_t kMaxStatusBytes = 64 * 1024;
constexpr std::size_t kMaxMapsBytes = 8 * 1024 * 1024;

std::optional<std::string> readProcFile(const std::string& path, std::size_t limit) {
    ScopedFD fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    char buffer[16 * 1024];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > limit) return std::nullopt;
    }
    return text;
}

struct Mapping {
    bool executable = false;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    std::string path;  // empty for anonymous memory, "[vdso]" and the like for the kernel's
};

// One line of /proc/<pid>/maps: "start-end perms offset major:minor inode   path".
std::optional<Mapping> parseMapping(std::string_view line) {
    std::string text(line);
    char perms[8] = {};
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%*x-%*x %4s %*x %x:%x %llu%n", perms, &major, &minor, &inode, &consumed) != 4)
        return std::nullopt;
    Mapping m;
    m.executable = perms[2] == 'x';
    m.major = major;
    m.minor = minor;
    m.inode = inode;
    std::size_t at = static_cast<std::size_t>(consumed);
    while (at < text.size() && text[at] == ' ') ++at;
    m.path = text.substr(at);
    return m;
}

std::optional<std::vector<Mapping>> executableMappings(pid_t pid) {
    auto text = readProcFile("/proc/" + std::to_string(pid) + "/maps", kMaxMapsBytes);
    if (!text) return std::nullopt;
    std::vector<Mapping> out;
    std::size_t start = 0;
    while (start < text->size()) {
        std::size_t end = text->find('\n', start);
        if (end == std::string::npos) end = text->size();
        auto m = parseMapping(std::string_view(*text).substr(start, end - start));
        if (!m) return std::nullopt;
        if (m->executable) out.push_back(std::move(*m));
        start = end + 1;
    }
    return out;
}

bool sameFile(const Mapping& m, dev_t dev, ino_t ino) {
    return m.inode == static_cast<unsigned long long>(ino) && m.major == ::major(dev) && m.minor == ::minor(dev);
}

std::optional<std::pair<dev_t, ino_t>> identity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return std::make_pair(st.st_dev, st.st_ino);
}

}  // namespace

void markNotDumpable() { ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0); }

std::optional<std::string> executableMappingProblem(pid_t pid, dev_t dev, ino_t ino) {
    const std::string proc = "/proc/" + std::to_string(pid);
    auto ours = identity("/proc/self/ns/user");
    auto theirs = identity(proc + "/ns/user");
    if (!ours || !theirs) return "the user namespace of process " + std::to_string(pid) + " cannot be read";
    if (*ours != *theirs) return "process " + std::to_string(pid) + " runs in another user namespace";
    auto mappings = executableMappings(pid);
    if (!mappings) return "the mappings of process " + std::to_string(pid) + " cannot be read";
    for (const auto& m : *mappings)
        if (sameFile(m, dev, ino)) return std::nullopt;
    return "process " + std::to_string(pid) + " does not run the code of its executable";
}

std::optional<std::string> runtimeIntegrityProblem(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    auto status = readProcFile(proc + "/status", kMaxStatusBytes);
    if (!status) return "the status of process " + std::to_string(pid) + " cannot be read";
    std::size_t at = status->find("\nTracerPid:");
    if (at == std::string::npos) return "the status of process " + std::to_string(pid) + " names no tracer";
    long tracer = std::strtol(status->c_str() + at + 11, nullptr, 10);
    if (tracer != 0) return "process " + std::to_string(pid) + " is traced by process " + std::to_string(tracer);

    struct stat exe {};
    if (::stat((proc + "/exe").c_str(), &exe) != 0) return "the executable of process " + std::to_string(pid) + " cannot be read";
    auto mappings = executableMappings(pid);
    if (!mappings) return "the mappings of process " + std::to_string(pid) + " cannot be read";
    // Each library once, however many of its segments are mapped.
    std::set<std::pair<unsigned long long, std::string>> checked;
    for (const auto& m : *mappings) {
        if (sameFile(m, exe.st_dev, exe.st_ino)) continue;
        if (m.inode == 0) {
            // The kernel's own pages; any other executable memory without a
            // file (named or not) is code written at run time.
            if (m.path == "[vdso]" || m.path == "[vsyscall]" || m.path == "[uprobes]") continue;
            return "process " + std::to_string(pid) + " runs code in memory that maps no file";
        }
        if (!checked.insert({m.inode, m.path}).second) continue;
        // The path may have been replaced since it was mapped: only a file
        // that is still the mapped one can be judged by its owner and mode.
        struct stat st {};
        const bool same = ::stat(m.path.c_str(), &st) == 0 && st.st_ino == m.inode &&
                          ::major(st.st_dev) == m.major && ::minor(st.st_dev) == m.minor;
        if (!same) return "process " + std::to_string(pid) + " maps code from a replaced or removed file: " + m.path;
        if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)))
            return "process " + std::to_string(pid) + " maps code from a file that others may write: " + m.path;
    }
    return std::nullopt;
}

}  // namespace platform::process
