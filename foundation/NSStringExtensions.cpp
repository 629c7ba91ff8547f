#include "foundation/NSStringExtensions.h"

#include <cstdint>

namespace NSStringExtensions {

namespace {

// Decodes one UTF-8 scalar at text[i]; advances i. Malformed bytes decode as
// U+FFFD so that they count as content.
char32_t nextScalar(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size() + (extra == 0 ? 1 : 0)) {
        ++i;
        return 0xFFFD;
    }
    char32_t scalar = extra == 0 ? c : (c & (0x3F >> extra));
    for (int k = 1; k <= extra; ++k) {
        unsigned char cc = byte(i + static_cast<std::size_t>(k));
        if ((cc & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        scalar = (scalar << 6) | (cc & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    return scalar;
}

// The white-space-and-newline set: Unicode's White_Space property.
bool isWhiteSpaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

}  // namespace

bool isNilOrWhiteSpace(std::optional<std::string_view> string) {
    if (!string) return true;
    for (std::size_t i = 0; i < string->size();) {
        if (!isWhiteSpaceOrNewline(nextScalar(*string, i))) return false;
    }
    return true;
}

}  // namespace NSStringExtensions
