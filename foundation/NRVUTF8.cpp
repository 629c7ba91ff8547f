#include "foundation/NRVUTF8.h"

namespace NRVUTF8 {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at the start of s (0 when ill-formed),
// or, when s ends inside a sequence that is well-formed so far, that prefix's
// length with *truncated set. *subpart is the maximal ill-formed part to skip.
std::size_t sequenceLength(std::string_view s, bool* truncated, std::size_t* subpart) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    *truncated = false;
    *subpart = 1;
    if (c < 0x80) return 1;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) need = 1;
    else if (c == 0xE0) need = 2, lo = 0xA0;
    else if (c == 0xED) need = 2, hi = 0x9F;
    else if (c >= 0xE1 && c <= 0xEF) need = 2;
    else if (c == 0xF0) need = 3, lo = 0x90;
    else if (c == 0xF4) need = 3, hi = 0x8F;
    else if (c >= 0xF1 && c <= 0xF3) need = 3;
    else return 0;
    for (std::size_t k = 1; k <= need; ++k) {
        if (k >= s.size()) {
            *truncated = true;
            *subpart = k;
            return k;
        }
        const unsigned char cc = b(k);
        const unsigned char low = k == 1 ? lo : 0x80, high = k == 1 ? hi : 0xBF;
        if (cc < low || cc > high) {
            *subpart = k;
            return 0;
        }
    }
    return need + 1;
}

}  // namespace

Decoded decode(std::string_view bytes, bool keepIncompleteTail) {
    Decoded out;
    out.text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Runs of ASCII are copied whole.
        std::size_t run = i;
        while (run < bytes.size() && static_cast<unsigned char>(bytes[run]) < 0x80) ++run;
        if (run > i) {
            out.text.append(bytes.substr(i, run - i));
            i = run;
            continue;
        }
        bool truncated = false;
        std::size_t subpart = 1;
        const std::size_t n = sequenceLength(bytes.substr(i), &truncated, &subpart);
        if (truncated) {
            if (keepIncompleteTail) {
                out.pendingTail = bytes.size() - i;
                return out;
            }
            out.text.append(kReplacement);
            out.hadInvalidBytes = true;
            return out;
        }
        if (n == 0) {
            out.text.append(kReplacement);
            out.hadInvalidBytes = true;
            i += subpart;
            continue;
        }
        out.text.append(bytes.substr(i, n));
        i += n;
    }
    return out;
}

std::string repaired(std::string_view bytes) { return decode(bytes).text; }

}  // namespace NRVUTF8
