// The clock of dispatch times, shared by the queue, group, timer and
// scheduler bodies of this folder; not part of the layer's interface.
#pragma once

#include <chrono>

#include "platform/dispatch/Dispatch.h"

namespace platform::dispatch::detail {

using Clock = std::chrono::steady_clock;

// Times this far out (146 years of uptime) can only come from FOREVER or
// arithmetic on it; they must never reach the clock, whose 64-bit signed
// nanoseconds would overflow.
constexpr DispatchTime kNeverThreshold = 1ull << 62;


inline DispatchTime nowNanoseconds() {
    return static_cast<DispatchTime>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

inline bool isNever(DispatchTime time) { return time >= kNeverThreshold; }

inline Clock::time_point toTimePoint(DispatchTime time) {
    return Clock::time_point(std::chrono::nanoseconds(static_cast<std::int64_t>(time)));
}

}  // namespace platform::dispatch::detail
