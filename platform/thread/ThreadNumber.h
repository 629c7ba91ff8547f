// The calling thread's number as the system counts threads (what log lines
// show to tell threads apart).
#pragma once

#include <cstdint>

namespace platform::thread {

std::uint32_t currentThreadNumber();

}  // namespace platform::thread
