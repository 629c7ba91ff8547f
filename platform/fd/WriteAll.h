// Writing a whole buffer to a descriptor.
#pragma once

#include <cstddef>

namespace platform {

// Writes all `size` bytes of `data` to `fd`, resuming after short writes and
// interrupted calls. False, with errno set by the failing write, when a write
// fails or writes nothing; what was written before stays written.
bool writeAll(int fd, const void* data, std::size_t size);

}  // namespace platform
