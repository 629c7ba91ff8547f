#include "platform/xpc/XPCPeer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace platform::xpc {

namespace {

// /proc files are small; read at most this much of one.
constexpr std::size_t kProcReadCap = 8192;

std::optional<std::string> readProcFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(kProcReadCap, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

}  // namespace

std::optional<std::uint64_t> processStartTime(int pid) {
    if (pid <= 0) return std::nullopt;
    auto stat = readProcFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    // The command name may hold spaces and parentheses: fields resume after the last ')'.
    std::size_t close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat->substr(close + 1));
    std::string field;
    // Field 3 (state) is the first after the name; field 22 is the 20th.
    for (int i = 3; i <= 22; ++i)
        if (!(fields >> field)) return std::nullopt;
    char* end = nullptr;
    unsigned long long v = std::strtoull(field.c_str(), &end, 10);
    if (!end || *end != '\0') return std::nullopt;
    return v;
}

PeerIdentity readPeerIdentity(int socketFD) {
    PeerIdentity id;
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (getsockopt(socketFD, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0) return id;
    int pidfd = -1;
    len = sizeof pidfd;
    // Older kernels refuse this option; the start time still guards against pid reuse.
    if (getsockopt(socketFD, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &len) == 0 && pidfd >= 0) id.pidfd.reset(pidfd);
    id.pid = cred.pid;
    id.uid = cred.uid;
    id.gid = cred.gid;
    id.ruid = cred.uid;
    id.rgid = cred.gid;
    id.auditUid = cred.uid;
    id.startTime = processStartTime(cred.pid).value_or(0);
    if (auto status = readProcFile("/proc/" + std::to_string(cred.pid) + "/status")) {
        std::istringstream lines(*status);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream f(line);
            std::string key;
            unsigned long real = 0;
            f >> key >> real;
            if (!f) continue;
            if (key == "Uid:") id.ruid = static_cast<std::uint32_t>(real);
            if (key == "Gid:") id.rgid = static_cast<std::uint32_t>(real);
        }
    }
    if (auto login = readProcFile("/proc/" + std::to_string(cred.pid) + "/loginuid")) {
        char* end = nullptr;
        unsigned long v = std::strtoul(login->c_str(), &end, 10);
        // 4294967295 means "not set": keep the effective uid.
        if (end != login->c_str() && v != 4294967295ul) id.auditUid = static_cast<std::uint32_t>(v);
    }
    // A peer that exited between connect and now cannot be identified.
    if (id.startTime == 0) id.pid = 0;
    return id;
}

bool auditTokenIsCurrent(const platform::AuditToken& token) {
    if (!token.isTrustworthyShape() || token.startTime() == 0) return false;
    auto now = processStartTime(token.pid());
    return now && *now == token.startTime();
}

std::string runtimeRoot() {
    const char* env = std::getenv("NRV_RUNTIME_ROOT");
    if (env && *env) return env;
    return "/run/nerova";
}

std::string servicePath(const std::string& serviceName) { return runtimeRoot() + "/xpc/" + serviceName; }

bool serviceSocketExists(const std::string& serviceName) {
    struct stat st {};
    return lstat(servicePath(serviceName).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace platform::xpc
