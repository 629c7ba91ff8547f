#include "platform/dispatch/Dispatch.h"

#include "platform/dispatch/DispatchClock_linux.h"

namespace platform::dispatch {

DispatchTime dispatchTime(DispatchTime when, std::int64_t deltaNanoseconds) {
    if (when == DISPATCH_TIME_FOREVER) {
        return DISPATCH_TIME_FOREVER;
    }
    const DispatchTime base = when == DISPATCH_TIME_NOW ? detail::nowNanoseconds() : when;
    if (deltaNanoseconds >= 0) {
        const auto delta = static_cast<DispatchTime>(deltaNanoseconds);
        if (base >= DISPATCH_TIME_FOREVER - delta) {
            return DISPATCH_TIME_FOREVER;
        }
        return base + delta;
    }
    const DispatchTime magnitude = static_cast<DispatchTime>(-(deltaNanoseconds + 1)) + 1;
    // Far in the past, but never the value that means "now".
    return magnitude >= base ? 1 : base - magnitude;
}

}  // namespace platform::dispatch
