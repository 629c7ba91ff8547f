// Dispatch-group and suspension helpers that count what they did, so that a
// reply arriving late, twice or never cannot leave a group more often than it
// was entered, and a queue is never resumed more often than it was suspended.
//
// Threading: every function may be called from any thread, also for the same
// group or object at once. The counters live on private serial queues of the
// class, which each call reaches synchronously, so a call returns with its
// count already changed. dispatch_group_safe_wait blocks its caller (it must
// not wait on a queue whose blocks would leave the group);
// dispatch_group_notify_timeout returns at once and calls its block on the
// given queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/dispatch/Dispatch.h"

class NRVDispatchExtensions {
public:
    NRVDispatchExtensions() = delete;

    static void dispatchGroupSafeEnter(const std::shared_ptr<platform::dispatch::DispatchGroup>& group);
    // Ignored when the group has no enter of ours left to match.
    static void dispatchGroupSafeLeave(const std::shared_ptr<platform::dispatch::DispatchGroup>& group);
    // Leaves the group as often as it is entered through these helpers.
    static void dispatchGroupSafeLeaveAll(const std::shared_ptr<platform::dispatch::DispatchGroup>& group);
    // The group's wait; after a timeout the group is drained so late leaves do nothing.
    static long dispatchGroupSafeWait(const std::shared_ptr<platform::dispatch::DispatchGroup>& group,
                                      platform::dispatch::DispatchTime timeout);
    static void dispatchSafeSuspend(const std::shared_ptr<platform::dispatch::DispatchObject>& object);
    // Ignored when the object has no suspension of ours left to undo.
    static void dispatchSafeResume(const std::shared_ptr<platform::dispatch::DispatchObject>& object);
};

// The interface the rest of the system calls. Callers must not call them from a
// block running on the helpers' own counting queues. A null group or object is
// ignored (waiting on a null group answers 0 at once).
void dispatch_group_safe_enter(const std::shared_ptr<platform::dispatch::DispatchGroup>& group);
void dispatch_group_safe_leave(const std::shared_ptr<platform::dispatch::DispatchGroup>& group);
long dispatch_group_safe_wait(const std::shared_ptr<platform::dispatch::DispatchGroup>& group,
                              platform::dispatch::DispatchTime timeout);
void dispatch_safe_suspend(const std::shared_ptr<platform::dispatch::DispatchObject>& object);
void dispatch_safe_resume(const std::shared_ptr<platform::dispatch::DispatchObject>& object);

// Calls block exactly once on queue: block(0) when the group empties first,
// else block(overrun in nanoseconds, at least 1) once the deadline has passed.
// A null group counts as empty; without a queue nothing is called.
void dispatch_group_notify_timeout(const std::shared_ptr<platform::dispatch::DispatchGroup>& group,
                                   const std::shared_ptr<platform::dispatch::DispatchQueue>& queue,
                                   platform::dispatch::DispatchTime deadline,
                                   std::function<void(std::uint64_t)> block);
