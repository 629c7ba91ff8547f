// A std::recursive_mutex that clang's thread-safety analysis knows as a
// capability, and its scoped lock. The analysis does not model taking it
// again on the same thread; a function that takes it while its caller may
// hold it says so in its comment.
//
// Threading: as std::recursive_mutex; a RecursiveMutexLock belongs to the
// thread that made it.
#pragma once

#include <mutex>

#include "platform/thread/ThreadAnnotations.h"

namespace platform {

class CAPABILITY("mutex") RecursiveMutex {
public:
    RecursiveMutex() = default;
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

class SCOPED_CAPABILITY RecursiveMutexLock {
public:
    explicit RecursiveMutexLock(RecursiveMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~RecursiveMutexLock() RELEASE() { mutex_.unlock(); }
    RecursiveMutexLock(const RecursiveMutexLock&) = delete;
    RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

private:
    RecursiveMutex& mutex_;
};

}  // namespace platform
