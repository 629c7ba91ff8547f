// One collection at a time per temporary folder. Two runs would share the
// staging folder (the later clear deletes the other's work) and the
// collection log, so a run takes this lock before it touches either; the
// command-line run, the agent tool and the window all go through it. The lock
// is taken on the temporary folder itself, so nothing is left behind in it.
//
// Threading: acquire from any thread; the lock is held by the process until
// the object is destroyed (the operating system drops it when the process
// ends, however it ends).
#pragma once

#include <string>
#include <variant>

#include "platform/fd/ScopedFD.h"

struct CollectionLockError {
    enum class Case { alreadyRunning, unavailable };
    Case kind;
    std::string detail;  // why the lock file could not be used (unavailable only)

    // The one line shown to the user.
    std::string message() const;
};

class CollectionLock {
public:
    static constexpr const char* kAlreadyRunningMessage = "A collection is already running.";

    static std::variant<CollectionLock, CollectionLockError> acquire(const std::string& temporaryFolder);

    CollectionLock(CollectionLock&&) = default;
    CollectionLock& operator=(CollectionLock&&) = default;

private:
    explicit CollectionLock(platform::ScopedFD fd) : fd_(std::move(fd)) {}
    platform::ScopedFD fd_;
};
