// Walking UTF-8 text scalar by scalar, and the white-space sets the string
// helpers and the command line share.
#pragma once

#include <cstddef>
#include <string_view>

namespace NRVUnicodeScalars {

// Decodes the scalar at text[i] and advances i. Malformed bytes come back as
// U+FFFD one byte at a time, so they count as content and no input can
// stall a scan.
inline char32_t next(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    const int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || (extra > 0 && i + static_cast<std::size_t>(extra) >= text.size())) {
        ++i;
        return 0xFFFD;
    }
    char32_t scalar = extra == 0 ? c : (c & (0x3F >> extra));
    for (int k = 1; k <= extra; ++k) {
        const unsigned char cc = byte(i + static_cast<std::size_t>(k));
        if ((cc & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        scalar = (scalar << 6) | (cc & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    return scalar;
}

// The space separators and the tab, without line ends.
inline bool isWhiteSpace(char32_t c) {
    return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Unicode's White_Space property: white space and line ends.
inline bool isWhiteSpaceOrNewline(char32_t c) {
    return isWhiteSpace(c) || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

}  // namespace NRVUnicodeScalars
