// A std::mutex that clang's thread-safety analysis knows as a capability,
// and its scoped lock. Fields it guards say so with GUARDED_BY(mutex).
//
// Threading: as std::mutex. A MutexLock belongs to the thread that made it;
// unlock() and lock() on it release and retake the mutex within its scope.
#pragma once

#include <mutex>

#include "platform/thread/ThreadAnnotations.h"

namespace platform {

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

    // For a condition variable's wait, which the analysis cannot follow.
    std::mutex& native() { return mutex_; }

private:
    std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.native()) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() RELEASE() { lock_.unlock(); }
    void lock() ACQUIRE() { lock_.lock(); }
    bool owns_lock() const { return lock_.owns_lock(); }

    std::unique_lock<std::mutex>& native() { return lock_; }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace platform
