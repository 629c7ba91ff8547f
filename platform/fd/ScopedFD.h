// The one owner of a file descriptor: closes it exactly once, on destruction
// or reset. Move-only. Not thread-safe: one owner uses it at a time.
#pragma once

#include <utility>

namespace platform {

class ScopedFD {
public:
    ScopedFD() = default;
    explicit ScopedFD(int fd) : fd_(fd) {}
    ~ScopedFD() { reset(); }
    ScopedFD(ScopedFD&& other) noexcept : fd_(other.release()) {}
    ScopedFD& operator=(ScopedFD&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ScopedFD(const ScopedFD&) = delete;
    ScopedFD& operator=(const ScopedFD&) = delete;

    int get() const { return fd_; }
    bool isValid() const { return fd_ >= 0; }
    explicit operator bool() const { return isValid(); }
    // Gives up ownership without closing.
    int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor (if any) and takes `fd`.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

}  // namespace platform
