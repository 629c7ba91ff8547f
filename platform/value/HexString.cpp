#include "platform/value/HexString.h"

#include <sys/random.h>

#include <cerrno>
#include <vector>

namespace platform {

std::string lowercaseHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xF]);
    }
    return out;
}

std::string randomLowercaseHex(std::size_t count) {
    std::vector<std::uint8_t> raw(count);
    std::size_t got = 0;
    while (got < count) {
        ssize_t n = getrandom(raw.data() + got, count - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR) break;
    }
    return lowercaseHex(raw);
}

}  // namespace platform
