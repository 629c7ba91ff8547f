#include "platform/fd/WriteAll.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, next, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        next += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace platform
