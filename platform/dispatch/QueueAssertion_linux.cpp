#include <cstdio>
#include <cstdlib>

#include "platform/dispatch/Dispatch.h"

namespace platform::dispatch {

#ifndef NDEBUG
void dispatchAssertQueue(const DispatchQueue& queue) {
    if (queue.isCurrent()) return;
    std::fprintf(stderr, "BUG: code of queue \"%s\" is running outside that queue\n", queue.label().c_str());
    std::abort();
}
#endif

}  // namespace platform::dispatch
