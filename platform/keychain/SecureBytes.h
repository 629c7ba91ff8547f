// A byte buffer for secrets (passwords, keys, item contents): wiped before
// its memory goes back, on destruction, reassignment and clear(). Move-only,
// so that no copy outlives the wipe. Not thread-safe: one owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace platform::keychain {

// Overwrites the memory in a way the compiler does not drop.
void secureWipe(void* data, std::size_t length);

class SecureBytes {
public:
    SecureBytes() = default;
    explicit SecureBytes(std::size_t size) : bytes_(size) {}
    explicit SecureBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}
    explicit SecureBytes(std::string_view text) : bytes_(text.begin(), text.end()) {}
    ~SecureBytes() { clear(); }
    SecureBytes(SecureBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
    SecureBytes& operator=(SecureBytes&& other) noexcept {
        if (this != &other) {
            clear();
            bytes_ = std::move(other.bytes_);
            other.bytes_.clear();
        }
        return *this;
    }
    SecureBytes(const SecureBytes&) = delete;
    SecureBytes& operator=(const SecureBytes&) = delete;

    void clear() {
        if (!bytes_.empty()) secureWipe(bytes_.data(), bytes_.size());
        bytes_.clear();
        bytes_.shrink_to_fit();
    }
    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::span<const std::uint8_t> span() const { return {bytes_.data(), bytes_.size()}; }
    std::string_view view() const { return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()}; }

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace platform::keychain
