#include "platform/process/ChildProcesses.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace platform {

namespace {

struct ChildProcess {
    pid_t pid = 0;
    pid_t processGroup = 0;
};

// The parent and the process group of one process, from /proc/<pid>/stat.
// The name field may hold blanks and parentheses, so fields are counted
// from the last ")".
bool readStat(pid_t pid, pid_t* parent, pid_t* processGroup) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return false;
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(line.substr(close + 1));
    char state = 0;
    long ppid = 0, pgrp = 0;
    if (!(fields >> state >> ppid >> pgrp)) return false;
    *parent = static_cast<pid_t>(ppid);
    *processGroup = static_cast<pid_t>(pgrp);
    return true;
}

std::vector<ChildProcess> childProcesses() {
    std::vector<ChildProcess> children;
    DIR* proc = ::opendir("/proc");
    if (!proc) return children;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        pid_t parent = 0, group = 0;
        if (readStat(static_cast<pid_t>(pid), &parent, &group) && parent == self)
            children.push_back({static_cast<pid_t>(pid), group});
    }
    ::closedir(proc);
    return children;
}

}  // namespace

std::size_t endChildProcessGroups(ChildEnding how) {
    const int signal = how == ChildEnding::Kill ? SIGKILL : SIGTERM;
    const pid_t ownGroup = ::getpgrp();
    std::size_t signalled = 0;
    for (const ChildProcess& child : childProcesses()) {
        // Only groups the child leads: never this process's own group.
        if (child.processGroup != child.pid || child.processGroup == ownGroup) continue;
        if (::kill(-child.processGroup, signal) == 0) ++signalled;
    }
    return signalled;
}

}  // namespace platform
