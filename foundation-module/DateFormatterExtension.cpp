#include "foundation-module/DateFormatterExtension.h"

#include <cmath>
#include <ctime>

#include "foundation/NSDateExtensions.h"

namespace DateFormatterExtension {

std::optional<TimeComponents> getDateComponents(std::string_view fromDate, std::string_view withFormat) {
    // Read and taken apart in the same zone, so the fields come back as written.
    auto date = NSDateExtensions::dateFromString(fromDate, withFormat);
    if (!date) return std::nullopt;
    const double seconds = std::floor(date->timeIntervalSince1970());
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e15) return std::nullopt;
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts {};
    if (!gmtime_r(&t, &parts)) return std::nullopt;
    return TimeComponents{parts.tm_hour, parts.tm_min, parts.tm_sec};
}

}  // namespace DateFormatterExtension
