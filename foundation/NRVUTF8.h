// Turning bytes that should be UTF-8 into text: what outside programs write
// arrives in chunks that may split a character and may hold bytes that are
// no UTF-8 at all.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace NRVUTF8 {

struct Decoded {
    std::string text;            // well-formed UTF-8
    std::size_t pendingTail = 0;  // bytes at the end left for the next chunk
    bool hadInvalidBytes = false;
};

// Each maximal ill-formed part becomes one U+FFFD. With keepIncompleteTail,
// a sequence that is cut off by the end of the bytes (but could be completed)
// is not decoded: its length is handed back so the caller can put it before
// the next chunk.
Decoded decode(std::string_view bytes, bool keepIncompleteTail = false);

// decode(bytes).text: the bytes as well-formed UTF-8.
std::string repaired(std::string_view bytes);

}  // namespace NRVUTF8
