#include "foundation-module/DateExtension.h"

#include <unicode/gregocal.h>
#include <unicode/timezone.h>

#include <cmath>
#include <limits>
#include <utility>

#include "foundation/NSDateExtensions.h"
#include "platform/time/LocalTime.h"

namespace DateExtension {

std::optional<Weekday> weekdayFromRawValue(int rawValue) {
    if (rawValue < 1 || rawValue > 7) return std::nullopt;
    return static_cast<Weekday>(rawValue);
}

std::optional<Weekday> getWeekdayFromString(std::string_view string) {
    static constexpr std::pair<std::string_view, Weekday> kNames[] = {
        {"monday", Weekday::monday},     {"tuesday", Weekday::tuesday}, {"wednesday", Weekday::wednesday},
        {"thursday", Weekday::thursday}, {"friday", Weekday::friday},   {"saturday", Weekday::saturday},
        {"sunday", Weekday::sunday},
    };
    std::string lower(string);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const auto& [name, day] : kNames)
        if (lower == name) return day;
    return std::nullopt;
}

std::string timestampUTCWithFormat(NRVDate date, std::string_view format) {
    return NSDateExtensions::timestampAsUTC(date, format);
}

std::string osqueryDateString(NRVDate date) {
    return NSDateExtensions::localTimestamp(date, "E MMM d HH:mm:ss yyyy zzz");
}

std::optional<NRVDate> dateMatchingPrevious(Weekday weekday, int hour, int minute, NRVDate relativeTo) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return std::nullopt;
    const double reference = relativeTo.timeIntervalSince1970();
    if (!std::isfinite(reference) || std::fabs(reference) > 1e15) return std::nullopt;
    const auto today = platform::time::localTime(static_cast<std::int64_t>(std::floor(reference)));
    if (!today) return std::nullopt;
    // Candidates walk back one calendar day at a time, so the first that
    // matches is the latest; a week and a day cover every weekday even when
    // today's time has not come yet.
    for (int daysBack = 0; daysBack <= 8; ++daysBack) {
        const auto t = platform::time::unixSecondsFromLocal(today->year, today->month, today->day - daysBack, hour,
                                                            minute, 0);
        if (!t) continue;
        const auto candidate = platform::time::localTime(*t);
        if (!candidate || candidate->weekday + 1 != static_cast<int>(weekday)) continue;
        if (static_cast<double>(*t) < reference) return NRVDate::fromUnix(static_cast<double>(*t));
    }
    return std::nullopt;
}

std::optional<NRVDate> dateByAdding(NRVDate date, std::int64_t amount, Component component) {
    if (amount < std::numeric_limits<std::int32_t>::min() || amount > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    UCalendarDateFields field = UCAL_SECOND;
    switch (component) {
        case Component::second: field = UCAL_SECOND; break;
        case Component::minute: field = UCAL_MINUTE; break;
        case Component::hour: field = UCAL_HOUR_OF_DAY; break;
        case Component::day: field = UCAL_DATE; break;
        case Component::weekOfYear: field = UCAL_WEEK_OF_YEAR; break;
        case Component::month: field = UCAL_MONTH; break;
        case Component::year: field = UCAL_YEAR; break;
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::TimeZone* hostZone = nullptr;
    {
        // ICU's detection calls tzset and reads TZ itself.
        const platform::time::ZoneStateLock lock;
        hostZone = icu::TimeZone::detectHostTimeZone();
    }
    icu::GregorianCalendar calendar(hostZone, status);
    if (U_FAILURE(status)) return std::nullopt;
    calendar.setTime(date.timeIntervalSince1970() * 1000.0, status);
    calendar.add(field, static_cast<int32_t>(amount), status);
    const UDate result = calendar.getTime(status);
    if (U_FAILURE(status) || !std::isfinite(result)) return std::nullopt;
    return NRVDate::fromUnix(result / 1000.0);
}

}  // namespace DateExtension
