// A std::condition_variable that waits on a platform::MutexLock. A predicate
// that reads guarded fields is a lambda marked REQUIRES(mutex): the wait
// calls it with the mutex held, which the analysis cannot see by itself.
//
// Threading: as std::condition_variable.
#pragma once

#include <chrono>
#include <condition_variable>

#include "platform/thread/Mutex.h"

namespace platform {

class ConditionVariable {
public:
    void notify_one() noexcept { cv_.notify_one(); }
    void notify_all() noexcept { cv_.notify_all(); }

    void wait(MutexLock& lock) { cv_.wait(lock.native()); }
    template <class Predicate>
    void wait(MutexLock& lock, Predicate predicate) NO_THREAD_SAFETY_ANALYSIS {
        cv_.wait(lock.native(), std::move(predicate));
    }
    template <class Clock, class Duration>
    std::cv_status wait_until(MutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline) {
        return cv_.wait_until(lock.native(), deadline);
    }
    template <class Clock, class Duration, class Predicate>
    bool wait_until(MutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline,
                    Predicate predicate) NO_THREAD_SAFETY_ANALYSIS {
        return cv_.wait_until(lock.native(), deadline, std::move(predicate));
    }
    template <class Rep, class Period>
    std::cv_status wait_for(MutexLock& lock, const std::chrono::duration<Rep, Period>& timeout) {
        return cv_.wait_for(lock.native(), timeout);
    }
    template <class Rep, class Period, class Predicate>
    bool wait_for(MutexLock& lock, const std::chrono::duration<Rep, Period>& timeout,
                  Predicate predicate) NO_THREAD_SAFETY_ANALYSIS {
        return cv_.wait_for(lock.native(), timeout, std::move(predicate));
    }

private:
    std::condition_variable cv_;
};

}  // namespace platform
