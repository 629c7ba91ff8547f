// What an interrupted program leaves behind: on SIGINT, SIGTERM or SIGHUP the
// registered process groups are ended, the registered paths removed, and the
// process exits with 128 + the signal's number. SIGPIPE is ignored, so a
// closed terminal only ends the echo, never the run.
//
// Threading: installTerminationHandling() is called once by the program's
// entry, before any thread starts (the three signals stay blocked in every
// thread and are taken by one watcher thread, so the cleanup runs as plain
// code, not in a signal handler). The registry functions may be called from
// any thread; the cleanup takes the same lock, so a path or group registered
// before the signal is seen is always handled.
#pragma once

#include <cstdint>
#include <string>

namespace platform::signal {

void installTerminationHandling();

// A folder or file removed (with its content) on termination; the token
// takes it back out once the owner has dealt with it.
std::uint64_t removeOnTermination(const std::string& path);
// A process group (a child started in a group of its own) ended on termination.
std::uint64_t endProcessGroupOnTermination(int processGroup);
void forget(std::uint64_t token);

// Held by whoever starts a child, from before the start until its group is
// registered: the cleanup waits for it, so that a child started just before
// the signal is never left running. No other registry call may be made while
// holding it on the same thread, except endProcessGroupOnTermination.
class ChildStartScope {
public:
    ChildStartScope();
    ~ChildStartScope();
    ChildStartScope(const ChildStartScope&) = delete;
    ChildStartScope& operator=(const ChildStartScope&) = delete;
};

}  // namespace platform::signal
