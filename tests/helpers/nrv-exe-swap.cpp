// nrv-exe-swap --exe=SIGNED --endpoint=NAME
//
// An attacker for the peer-check tests. As an ordinary user (started as root,
// it becomes nobody first) it enters a user namespace of its own, where it
// holds the capability to change its own memory map; it moves its code out
// of its executable's file into anonymous memory, repoints its executable
// link at SIGNED with prctl(PR_SET_MM, PR_SET_MM_MAP), maps SIGNED as code as
// well, and then connects to the anonymous endpoint NAME. One line per part:
//   "namespace: entered"           or "namespace: refused: <reason>" (exit 3)
//   "exe: <target of /proc/self/exe>" and "swap: done" or "swap: refused: <reason>"
//   "ADMITTED" (the service's ready frame came) or "REFUSED" (it closed the connection)
// Then it waits for SIGTERM, so that the test can look at the process.
#include <fcntl.h>
#include <grp.h>
#include <linux/prctl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uid_t kNobody = 65534;

std::string readAll(const char* path) {
    std::string text;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

std::string linkTarget(const char* path) {
    char buffer[4096];
    ssize_t n = ::readlink(path, buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

void say(const std::string& line) {
    std::string out = line + "\n";
    (void)!::write(STDOUT_FILENO, out.data(), out.size());
}

std::string reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Replaces every mapping of this program's own file by an anonymous copy with
// the same contents and protection, in place: mremap moves the copy over the
// original in one step, so the code that runs here never misses a page.
bool moveCodeOffTheExecutable(std::string* why) {
    const std::string exe = linkTarget("/proc/self/exe");
    const std::string maps = readAll("/proc/self/maps");
    struct Region {
        unsigned long start, end;
        int prot;
    };
    std::vector<Region> regions;
    std::istringstream in(maps);
    std::string line;
    while (std::getline(in, line)) {
        unsigned long start = 0, end = 0;
        char perms[8] = {};
        int consumed = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx %4s %*x %*x:%*x %*u%n", &start, &end, perms, &consumed) != 3) continue;
        std::size_t at = static_cast<std::size_t>(consumed);
        while (at < line.size() && line[at] == ' ') ++at;
        if (line.substr(at) != exe) continue;
        int prot = (perms[0] == 'r' ? PROT_READ : 0) | (perms[1] == 'w' ? PROT_WRITE : 0) |
                   (perms[2] == 'x' ? PROT_EXEC : 0);
        regions.push_back({start, end, prot});
    }
    if (regions.empty()) {
        *why = "no mapping of " + exe + " found";
        return false;
    }
    for (const Region& r : regions) {
        const std::size_t length = r.end - r.start;
        void* copy = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (copy == MAP_FAILED) return *why = reason("mmap"), false;
        if (r.prot & PROT_READ) std::memcpy(copy, reinterpret_cast<void*>(r.start), length);
        if (::mprotect(copy, length, r.prot) != 0) return *why = reason("mprotect"), false;
        if (::mremap(copy, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, reinterpret_cast<void*>(r.start)) ==
            MAP_FAILED)
            return *why = reason("mremap"), false;
    }
    return true;
}

// The memory map's fields as they are (from /proc/self/stat), with the new
// executable file.
bool repointExecutable(int exeFD, std::string* why) {
    const std::string stat = readAll("/proc/self/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return *why = "no /proc/self/stat", false;
    std::istringstream fields(stat.substr(close + 2));
    std::vector<unsigned long long> f;  // f[0] is field 3 (state is read as 0)
    std::string word;
    while (fields >> word) f.push_back(std::strtoull(word.c_str(), nullptr, 10));
    auto field = [&](std::size_t n) { return n - 3 < f.size() ? f[n - 3] : 0ULL; };
    struct prctl_mm_map map {};
    map.start_code = field(26);
    map.end_code = field(27);
    map.start_stack = field(28);
    map.start_data = field(45);
    map.end_data = field(46);
    map.start_brk = field(47);
    map.arg_start = field(48);
    map.arg_end = field(49);
    map.env_start = field(50);
    map.env_end = field(51);
    map.brk = static_cast<unsigned long long>(::syscall(SYS_brk, 0));
    map.exe_fd = static_cast<__u32>(exeFD);
    if (::prctl(PR_SET_MM, PR_SET_MM_MAP, &map, sizeof map, 0) != 0) return *why = reason("prctl"), false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string signedProgram, endpoint;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--exe=", 0) == 0) signedProgram = a.substr(6);
        else if (a.rfind("--endpoint=", 0) == 0) endpoint = a.substr(11);
    }
    if (signedProgram.empty() || endpoint.empty()) {
        std::fprintf(stderr, "usage: nrv-exe-swap --exe=SIGNED --endpoint=NAME\n");
        return 64;
    }
    const int exeFD = ::open(signedProgram.c_str(), O_RDONLY | O_CLOEXEC);
    if (exeFD < 0) {
        std::perror("open");
        return 2;
    }
    if (::geteuid() == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            std::perror("dropping to nobody");
            return 2;
        }
        // Changing the user made this process undumpable; an ordinary
        // process of nobody's is dumpable.
        ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    }
    if (::unshare(CLONE_NEWUSER) != 0) {
        say("namespace: refused: " + reason("unshare"));
        return 3;
    }
    say("namespace: entered");

    std::string why;
    const bool swapped = moveCodeOffTheExecutable(&why) && repointExecutable(exeFD, &why);
    if (swapped) {
        // The signed file mapped as code too, as its own program would be.
        (void)::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE, exeFD, 0);
    }
    say("exe: " + linkTarget("/proc/self/exe"));
    say(swapped ? "swap: done" : "swap: refused: " + why);

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, endpoint.data(), std::min(endpoint.size(), sizeof address.sun_path - 2));
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + std::min(endpoint.size(), sizeof address.sun_path - 2));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        say("connect: " + reason("connect"));
        return 4;
    }
    // The service writes its ready frame once the check admitted this
    // process, and closes the connection when it refused it.
    timeval limit{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, 0);
    say(n > 0 ? "ADMITTED" : n == 0 || errno == ECONNRESET ? "REFUSED" : "UNDECIDED");

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int signal = 0;
    sigwait(&set, &signal);
    return 0;
}
