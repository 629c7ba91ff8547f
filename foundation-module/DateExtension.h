// Date texts, weekdays and calendar look-ups. Local time follows the
// process's time zone at the moment of each call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value/NRVValue.h"

namespace DateExtension {

enum class Weekday { sunday = 1, monday, tuesday, wednesday, thursday, friday, saturday };
// 1 to 7; nullopt for anything else.
std::optional<Weekday> weekdayFromRawValue(int rawValue);
// The English day name in any capitalisation; abbreviations are not names.
std::optional<Weekday> getWeekdayFromString(std::string_view string);

enum class Component { second, minute, hour, day, weekOfYear, month, year };

// The date in the pattern, in UTC with the "en_US_POSIX" locale.
std::string timestampUTCWithFormat(NRVDate date, std::string_view format);
// "E MMM d HH:mm:ss yyyy zzz" in local time.
std::string osqueryDateString(NRVDate date);
// The latest local time strictly before the reference whose weekday, hour and
// minute match (seconds zero). A time the clock skips that day is taken at the
// next time that exists. nullopt for hours or minutes out of range.
std::optional<NRVDate> dateMatchingPrevious(Weekday weekday, int hour, int minute, NRVDate relativeTo);
// The date moved by the amount of the component in the Gregorian calendar
// (local time; a month end is kept within the month); nullopt when the
// calendar cannot compute it.
std::optional<NRVDate> dateByAdding(NRVDate date, std::int64_t amount, Component component);

}  // namespace DateExtension
