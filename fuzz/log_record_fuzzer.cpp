// Feeds arbitrary lines to the log store's record reader, as `log show`
// meets them in a store that anyone who logs can fill. A line that reads
// must render again, and the rendered line must read back as the same record.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/log/LogStore.h"

namespace plog = platform::log;

namespace {

bool sameRecord(const plog::Record& a, const plog::Record& b) {
    return a.timestamp == b.timestamp && a.pid == b.pid && a.threadID == b.threadID && a.process == b.process &&
           a.subsystem == b.subsystem && a.category == b.category && a.level == b.level && a.message == b.message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto record = plog::parseLine(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!record) return 0;
    const std::string line = plog::renderLine(*record);
    if (line.find('\n') != std::string::npos) __builtin_trap();  // a record never spans lines
    auto again = plog::parseLine(line);
    if (!again || !sameRecord(*record, *again)) __builtin_trap();
    // The time is written with six decimals: from the first rendering on it
    // must stay the same, wherever a double still holds microseconds (until
    // 2038; later times may move by a microsecond per rendering).
    if (std::fabs(record->unixTime) < 2147483648.0 && plog::renderLine(*again) != line) __builtin_trap();
    return 0;
}
