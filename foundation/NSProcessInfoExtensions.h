// What the library needs to know about the machine and about other
// processes: operating-system version and name, processor architecture,
// per-process facts read from the kernel, process paths, memory use, exit
// monitoring, and user and group names (cached).
//
// Threading: every function may be called from any thread. Kernel reads run
// on the serial queue "com.nerova.nsprocessinfo_ext.processInfoQueue"; the
// synchronous forms block the caller until the read ends or its time limit
// passes, and a read that finishes after its limit is dropped without
// touching what the caller was given. Name look-ups are serialised on
// "com.nerova.nsprocessinfo_ext.userInfoQueue" (user-interactive); their
// caches hold at most 100 entries each and are emptied every 12 hours. Exit
// notices and process lists are delivered on the default global queue.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "platform/process/ProcessInfo.h"
#include "platform/value/NRVValue.h"

namespace NSProcessInfoExtensions {

// Machine facts.
struct OperatingSystemVersion {
    long majorVersion = 0, minorVersion = 0, patchVersion = 0;
};
long systemMajorNumber();           // the number before the first "." of the kernel release
std::string systemMajorString();    // "<major>.0" of the operating system's version
// X.Y with two non-empty parts, X >= 10 and Y all digits: X + 9; otherwise the largest integer.
long long systemMajorNumberForSystemMajorString(const std::string& text);
OperatingSystemVersion osVersion();
std::string osVersionString();      // "major.minor.patch"
std::string osName();
std::string osNameForVersion(const OperatingSystemVersion& version);
std::string machineHardwareName();
bool isArchitectureX86_64();
bool isArchitectureArm64();         // also the kernel's own name for it, "aarch64"
bool isTranslatedEnvironment();
std::string processorArchitecture();  // "arm64" or "x86_64"
bool isARMMachine();
bool isMacOS12MontereyOrBelow();
bool isMacOS12Monterey();
NRVDate dateWithLastBootTime();
std::uint64_t memoryUsageForPid(pid_t pid);

// Per-process facts. The "effective" group id these report (egid) is the
// process's saved group id.
using ProcessInfoBlock = std::function<void(pid_t ppid, std::uint32_t ruid, std::uint32_t euid,
                                            const std::optional<std::string>& name,
                                            const std::optional<NRVDate>& startDate,
                                            const std::optional<std::string>& error)>;
using ProcessInfo2Block = std::function<void(pid_t ppid, std::uint32_t ruid, std::uint32_t euid, std::uint32_t gid,
                                             std::uint32_t egid, const std::optional<std::string>& name,
                                             std::int64_t startSeconds, std::int32_t startMicroseconds,
                                             const std::optional<std::string>& error)>;

void processInfoForPid(pid_t pid, const ProcessInfoBlock& block);
// A negative timeout waits for ever; after the time limit the error is "Timed out".
void processInfoForPid(pid_t pid, double timeoutSeconds, const ProcessInfoBlock& block);
void processInfo2ForPid(pid_t pid, double timeoutSeconds, const ProcessInfo2Block& block);
// The same read at once on the caller's thread; each out value is written
// only when given. Answers the error text (nullopt on success).
std::optional<std::string> processInfo2ForPID(pid_t pid, pid_t* outParentPID, std::uint32_t* outUserID,
                                              std::uint32_t* outEffectiveUserID, std::uint32_t* outGroupID,
                                              std::uint32_t* outEffectiveGroupID, std::optional<std::string>* outProcessName,
                                              std::int64_t* outStartTimeSecs, std::int32_t* outStartTimeUSecs);
std::optional<std::string> processPathForPid(pid_t pid);

std::optional<std::string> posixNameForUid(std::uint32_t uid);
std::optional<std::string> groupNameForGid(std::uint32_t gid);
std::optional<std::string> fullNameForUid(std::uint32_t uid);
void cleanCache();
// Entries in the three name caches (for tests).
std::size_t cachedNameCount();

// Calls block once, on the default global queue, when the process ends;
// also when it had already ended. Pid 0 does nothing.
void monitorProcessExit(pid_t pid, std::function<void()> block);

void allRunningPidsWithReply(std::function<void(const NRVArray& pids, const std::optional<std::string>& error)> reply);
// First form: "pid", "ppid", "uid", "euid", "name", "path", "startTime",
// "physicalFootPrint", for processes with an executable path.
void allRunningProcessesWithReply(
    std::function<void(const NRVArray& processes, const std::optional<std::string>& error)> reply);
// Second form: "pid", "ppid", "uid", "euid", "gid", "egid", "name", "path",
// "seconds", "uSeconds", for processes with a command name.
void allRunningProcesses2WithReply(
    std::function<void(const NRVArray& processes, const std::optional<std::string>& error)> reply);

// The process's arguments that decode as UTF-8, program name first; the
// block runs on the caller's thread.
void processArgsForPid(pid_t pid,
                       const std::function<void(const std::vector<std::string>& arguments,
                                                const std::optional<std::string>& error)>& block);
std::optional<std::string> processArgsForPid(pid_t pid, std::vector<std::string>* outArguments);

}  // namespace NSProcessInfoExtensions
