#include "platform/fd/ScopedFD.h"

#include <unistd.h>

namespace platform {

void ScopedFD::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

}  // namespace platform
