#include "foundation-module/ThreadSafeFileHandle.h"

#include <cerrno>
#include <cstring>

#include "platform/fs/FileManager.h"

std::string ThreadSafeFileHandle::Errno::errorDescription() const {
    const char* text = std::strerror(errno_);
    const std::string number = std::to_string(errno_);
    if (!text || !*text) return "Errno: " + number;
    return std::string(text) + ". Errno: " + number;
}

NRVData ThreadSafeFileHandle::read(std::int64_t upToCount, std::int64_t fromOffset) const {
    if (upToCount < 0) throw Errno{EINVAL};
    platform::Error error;
    auto bytes = platform::fs::readAtOffset(fileDescriptor, static_cast<std::size_t>(upToCount), fromOffset, &error);
    if (!bytes) throw Errno{error.code};
    return NRVData(bytes->begin(), bytes->end());
}

ThreadSafeFileHandle asThreadSafe(const platform::FileHandle& handle) {
    return ThreadSafeFileHandle{handle.descriptor()};
}
