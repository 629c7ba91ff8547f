// The answer of one call to another process, shared between the caller that
// waits for it and the reply, status or error handlers that run on the
// connection's queues. The first answer counts; a second one, or any answer
// after the caller stopped waiting (close()), changes nothing, so that a late
// reply cannot change what the caller has already read.
//
// Threading: set() and close() may be called from any thread. Held through a
// shared_ptr by the caller and the handlers alike: it outlives the wait, and a
// handler that runs after it writes into a cell nobody reads, never into
// freed memory.
#pragma once

#include <optional>
#include <utility>

#include "platform/thread/Mutex.h"

template <typename T>
class NRVReplyCell {
public:
    void set(T value) {
        platform::MutexLock lock(mutex_);
        if (!closed_ && !value_) value_ = std::move(value);
    }
    // The answer at the end of the wait (a value-initialised T when none
    // came); later sets are ignored.
    T close() {
        platform::MutexLock lock(mutex_);
        closed_ = true;
        return value_ ? *value_ : T{};
    }

private:
    platform::Mutex mutex_;
    bool closed_ GUARDED_BY(mutex_) = false;
    std::optional<T> value_ GUARDED_BY(mutex_);
};
