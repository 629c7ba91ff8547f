#include "platform/thread/ThreadNumber.h"

#include <unistd.h>

namespace platform::thread {

std::uint32_t currentThreadNumber() { return static_cast<std::uint32_t>(::gettid()); }

}  // namespace platform::thread
