// Feeds arbitrary text to `log show`'s date arguments. A date that reads is a
// finite time, and the same wall time at an offset one hour further east is
// one hour earlier.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/log/LogDate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto date = logtool::parseDate(text);
    if (!date) return 0;
    if (!std::isfinite(*date)) __builtin_trap();
    // "yyyy-MM-dd HH:mm:ss" is 19 characters; try it at +0000 and +0100.
    if (text.size() >= 19) {
        auto utc = logtool::parseDate(text.substr(0, 19) + "+0000");
        auto east = logtool::parseDate(text.substr(0, 19) + "+0100");
        if (utc && (!east || *utc - *east != 3600)) __builtin_trap();
    }
    return 0;
}
