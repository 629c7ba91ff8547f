// Marks the running thread as executing blocks of a queue, for isCurrent();
// used by the queue bodies of this folder.
#pragma once

#include "platform/dispatch/Dispatch.h"

namespace platform::dispatch::detail {

inline thread_local const DispatchQueue* tCurrentQueue = nullptr;

class CurrentQueueScope {
public:
    explicit CurrentQueueScope(const DispatchQueue* queue) : previous_(tCurrentQueue) { tCurrentQueue = queue; }
    ~CurrentQueueScope() { tCurrentQueue = previous_; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    const DispatchQueue* previous_;
};


}  // namespace platform::dispatch::detail
