// Reading the time of day out of a date text.
#pragma once

#include <optional>
#include <string_view>

namespace DateFormatterExtension {
struct TimeComponents {
    int hour = 0, minute = 0, second = 0;
    bool operator==(const TimeComponents&) const = default;
};
// The text read with the pattern; the hour, minute and second as written.
std::optional<TimeComponents> getDateComponents(std::string_view fromDate, std::string_view withFormat);
}  // namespace DateFormatterExtension
