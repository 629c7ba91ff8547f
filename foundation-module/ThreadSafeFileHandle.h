// Positional reads of an open file, so that several threads can read one
// open file at once without sharing its file position.
//
// Threading: any number of threads may call read on copies of one value at
// the same time; each call has its own buffer and nothing is locked. The
// value does not own the descriptor: the handle it came from must stay open
// while it is used.
#pragma once

#include <cstdint>
#include <string>

#include "platform/process/Task.h"
#include "platform/value/NRVValue.h"

struct ThreadSafeFileHandle {
    std::int32_t fileDescriptor = -1;

    // The system error of a failed read.
    struct Errno {
        std::int32_t errno_ = 0;
        // strerror's text, ". Errno: " and the number; "Errno: " and the
        // number when the system has no text for it.
        std::string errorDescription() const;
    };

    // Up to `count` bytes at `offset` (fewer at the end of the file, none at
    // or past it). Throws Errno on failure; a negative count is EINVAL
    // rather than a read into a buffer of absurd size.
    NRVData read(std::int64_t upToCount, std::int64_t fromOffset) const;
};

ThreadSafeFileHandle asThreadSafe(const platform::FileHandle& handle);
