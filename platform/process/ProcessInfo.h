// Facts about processes and users read from the kernel: /proc records, the
// audit token of a process, user and group names, and a watch that reports a
// process's exit. Every function may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error/Error.h"
#include "platform/process/AuditToken.h"

namespace platform::process {

struct ProcessRecord {
    pid_t pid = 0;
    pid_t ppid = 0;
    std::uint32_t ruid = 0, euid = 0;
    std::uint32_t rgid = 0, egid = 0, sgid = 0;
    std::string name;                 // the kernel's command name (at most 15 bytes)
    std::uint64_t startTimeTicks = 0; // clock ticks since boot
    std::int64_t startSeconds = 0;    // since 1970
    std::int32_t startMicroseconds = 0;
};

// nullopt and "No process info found" for a pid that does not exist.
std::optional<ProcessRecord> readProcessRecord(pid_t pid, platform::Error* error = nullptr);
// Start time in clock ticks since boot (field 22 of /proc/<pid>/stat).
std::optional<std::uint64_t> processStartTime(pid_t pid);
// The audit token of a live process, as the transport makes one at connect time.
std::optional<AuditToken> auditTokenForPid(pid_t pid);
// The token's process still runs and has the token's start time.
bool isAuditTokenCurrent(const AuditToken& token);

// The path of the executable the process runs (readlink of /proc/<pid>/exe).
std::optional<std::string> executablePath(pid_t pid);
// nullopt and "Failed to count running processes: <errno> <its text>" when
// the list cannot be read.
std::optional<std::vector<pid_t>> allProcessIDs(platform::Error* error = nullptr);
// The process's arguments, program name first; an empty list for a process
// without arguments (a kernel thread).
std::optional<std::vector<std::string>> processArguments(pid_t pid, platform::Error* error = nullptr);
// Resident anonymous memory plus swap in bytes; 0 when unknown.
std::uint64_t physicalFootprint(pid_t pid);
// Seconds since 1970 of the last boot.
std::optional<double> bootTime();

struct SystemName {
    std::string release;
    std::string machine;
};
SystemName systemName();
// VERSION_ID of /etc/os-release as up to three numbers; zeros when unknown.
struct OperatingSystemVersion {
    long majorVersion = 0, minorVersion = 0, patchVersion = 0;
};
OperatingSystemVersion operatingSystemVersion();

std::optional<std::string> userName(std::uint32_t uid);
std::optional<std::string> groupName(std::uint32_t gid);
// The user's primary group or one of its supplementary groups is the named
// group; false when the user or the group cannot be found.
bool isUserInGroup(std::uint32_t uid, const std::string& groupName);
// The process's real user id.
std::uint32_t realUserID();
// The process's effective user id.
std::uint32_t effectiveUserID();
// Whether process `pid` lives in this process's user namespace. Its namespace
// link is compared where this process may read it; where it may not (another
// user's process that is not dumpable) the two user-id mappings are, which
// every process may read: a namespace made by an ordinary user maps no more
// than that user's own ids, never this namespace's whole range.
bool sharesUserNamespace(pid_t pid);
// The first field of the user's comment (GECOS) field, when not empty.
std::optional<std::string> fullName(std::uint32_t uid);

// Calls onExit once, on a thread of its own, when the process ends (also when
// it had ended before the watch started). Cancelling, or destroying the
// watch, waits for a running onExit to return and guarantees no later call.
// Uses a pidfd; where the kernel lacks one, the process is polled.
class ProcessExitWatch {
public:
    static std::unique_ptr<ProcessExitWatch> start(pid_t pid, std::function<void()> onExit);
    virtual ~ProcessExitWatch() = default;
    virtual void cancel() = 0;
};

}  // namespace platform::process
