#include "foundation/NSDateExtensions.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/time/LocalTime.h"
#include "platform/memory/NoDestructor.h"

namespace NSDateExtensions {

namespace {

constexpr double kFiletimeOffset = 116444736000000000.0;  // 1601 to 1970 in 100 ns
constexpr double kFiletimeUnitsPerSecond = 10000000.0;
// The span of instants the calendar can represent (about 5.8 million years
// either way); dates beyond it are clamped to its ends.
constexpr double kMinMillis = -184303902528000000.0;
constexpr double kMaxMillis = 183882168921600000.0;

constexpr std::string_view kExtractPrefix = "com.nerova.rivovovuvev-";
constexpr std::string_view kExtractSuffix = ".log.gz";

using Zone = NRVDateFormatter::Zone;

// Dates are seconds since 2001, so a value read as seconds since 1970 is only
// good to a fraction of a microsecond; rounding to whole microseconds keeps
// 0.999 s from showing as 998 ms.
double millis(NRVDate date) { return std::round(date.timeIntervalSince1970() * 1e6) / 1e3; }

// Whole seconds of a date, for libc's calendar; nullopt outside the span the
// formatters can show.
std::optional<std::int64_t> wholeSeconds(double unixSeconds) {
    if (!std::isfinite(unixSeconds) || unixSeconds * 1e3 < kMinMillis || unixSeconds * 1e3 > kMaxMillis)
        return std::nullopt;
    return static_cast<std::int64_t>(std::floor(unixSeconds));
}

std::string format(std::string_view pattern, const char* locale, Zone zone, NRVDate date) {
    return NRVDateFormatter(std::string(pattern), locale ? locale : "", zone).stringFromDate(date);
}

std::optional<NRVDate> parse(std::string_view pattern, const char* locale, Zone zone, std::optional<std::string_view> text) {
    return NRVDateFormatter(std::string(pattern), locale ? locale : "", zone).dateFromString(text);
}

// The local wall clock of a date, as libc shows it.
std::optional<platform::time::LocalTime> localFields(NRVDate date) {
    const auto seconds = wholeSeconds(date.timeIntervalSince1970());
    return seconds ? platform::time::localTime(*seconds) : std::nullopt;
}

// The date `days` local calendar days after `date` at the same wall-clock
// time (the fraction of a second kept); nullopt when it cannot be shown.
std::optional<NRVDate> addingDays(NRVDate date, std::int64_t days) {
    const auto local = localFields(date);
    if (!local) return std::nullopt;
    const double unix = date.timeIntervalSince1970();
    const auto moved = platform::time::unixSecondsFromLocal(local->year, local->month,
                                                            local->day + std::clamp<std::int64_t>(days, INT32_MIN, INT32_MAX),
                                                            local->hour, local->minute, local->second);
    if (!moved) return std::nullopt;
    return NRVDate::fromUnix(static_cast<double>(*moved) + (unix - std::floor(unix)));
}

void removeAll(std::string& text, std::string_view part) {
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at)) text.erase(at, part.size());
}

// Reads a signed 64-bit decimal the way the platform's integer value of a
// string does: leading blanks, an optional sign, digits; saturating.
std::int64_t integerValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint64_t magnitude = 0;
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : INT64_MAX;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

}  // namespace

NRVDateFormatter scanLogDateFormatter() { return NRVDateFormatter("yyyy-MM-dd HH:mm:ss ZZ", "", Zone::System); }

NRVDateFormatter qrbLogDateFormatter() {
    return NRVDateFormatter("yyyy'-'MM'-'dd' 'HH':'mm':'ss Z'", "", Zone::System);
}

const NRVDateFormatter& auditTimestampFormatter() {
    static const platform::NoDestructor<NRVDateFormatter> formatter("yyyy-MM-dd HH:mm:ss.SSS", "", Zone::System);
    return *formatter;
}

const NRVDateFormatter& rfc3339DateFormatter() {
    static const platform::NoDestructor<NRVDateFormatter> formatter(
        "yyyy-MM-dd'T'HH:mm:ss.SSSSSSZZZZZ", "en_US_POSIX", Zone::GMT);
    return *formatter;
}

std::string scanLogTimestamp(NRVDate date) { return scanLogDateFormatter().stringFromDate(date); }

std::string qrbLogTimestamp(NRVDate date) { return qrbLogDateFormatter().stringFromDate(date); }

std::optional<NRVDate> dateFromQrbLogTimestamp(std::optional<std::string_view> text) {
    return qrbLogDateFormatter().dateFromString(text);
}

std::string auditRecordTimestamp(NRVDate date) { return auditTimestampFormatter().stringFromDate(date); }

std::string rfc3339FormattedString(NRVDate date) {
    // Cut down to whole milliseconds, never rounded up.
    const double ms = std::floor(millis(date));
    if (!std::isfinite(ms)) return "";
    return rfc3339DateFormatter().stringFromDate(NRVDate::fromUnix(ms / 1e3));
}

std::optional<NRVDate> dateFromRFC3339FormattedString(std::optional<std::string_view> text) {
    return rfc3339DateFormatter().dateFromString(text);
}

std::string iso8601FormattedString(NRVDate date) {
    static const platform::NoDestructor<NRVDateFormatter> formatter(
        "yyyy-MM-dd'T'HH:mm:ssZZZZZ", "en_US_POSIX", Zone::GMT);
    return formatter->stringFromDate(date);
}

std::string zepLogFormattedDateString(NRVDate date) {
    static const platform::NoDestructor<NRVDateFormatter> formatter("yyyy-MM-dd", "", Zone::System);
    return formatter->stringFromDate(date);
}

std::optional<NRVDate> dateFromZEPLogFilename(std::optional<std::string_view> fileName) {
    if (!fileName || fileName->empty()) return std::nullopt;
    std::string stamp(*fileName);
    if (stamp.ends_with(kExtractSuffix)) removeAll(stamp, kExtractSuffix);
    if (stamp.starts_with(kExtractPrefix)) removeAll(stamp, kExtractPrefix);
    return parse("yyyy-MM-dd", nullptr, Zone::UTC, stamp);
}

std::string timestampAsUTC(std::optional<NRVDate> date, std::string_view pattern) {
    if (!date) return "";
    return format(pattern, "en_US_POSIX", Zone::UTC, *date);
}

std::string localTimestamp(std::optional<NRVDate> date, std::string_view pattern) {
    if (!date) return "";
    return format(pattern, "en_US_POSIX", Zone::System, *date);
}

std::optional<NRVDate> dateFromString(std::optional<std::string_view> text, std::string_view pattern) {
    return parse(pattern, "en_US_POSIX", Zone::UTC, text);
}

std::string mediumStyleFormattedDate(NRVDate date) {
    return NRVDateFormatter::mediumStyle(Zone::System).stringFromDate(date);
}

std::string dateToFiletimeString(std::optional<NRVDate> date) {
    if (!date) return "0";
    const double count = std::fma(date->timeIntervalSince1970(), kFiletimeUnitsPerSecond, kFiletimeOffset);
    std::uint64_t filetime = 0;
    if (count >= 18446744073709551616.0) filetime = UINT64_MAX;
    else if (count > 0) filetime = static_cast<std::uint64_t>(count);  // NaN and pre-1601 stay 0
    return std::to_string(filetime);
}

NRVDate filetimeStringToDate(std::optional<std::string_view> text) {
    const std::int64_t count = text ? integerValue(*text) : 0;
    // Subtract in 128 bits: the smallest counts would wrap in 64.
    const __int128 sinceEpoch = static_cast<__int128>(count) - static_cast<__int128>(kFiletimeOffset);
    return NRVDate::fromUnix(static_cast<double>(sinceEpoch) / kFiletimeUnitsPerSecond);
}

NRVDate dateWithTimeval(std::int64_t seconds, std::int32_t microseconds) {
    // Through text on purpose: "%06d" keeps 5 microseconds at .000005.
    char text[64];
    std::snprintf(text, sizeof text, "%lld.%06d", static_cast<long long>(seconds), microseconds);
    return NRVDate::fromUnix(std::strtod(text, nullptr));
}

NRVDate dateWithTimespec(std::int64_t seconds, std::int64_t nanoseconds) {
    const std::int64_t micro = std::clamp<std::int64_t>(nanoseconds / 1000, INT32_MIN, INT32_MAX);
    return dateWithTimeval(seconds, static_cast<std::int32_t>(micro));
}

namespace {
std::atomic<double> gClockOffsetForUnitTest{0};
}  // namespace

NRVDate now() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return NRVDate::fromUnix(std::chrono::duration<double>(sinceEpoch).count() +
                             gClockOffsetForUnitTest.load(std::memory_order_relaxed));
}

void setClockOffsetForUnitTest(double seconds) { gClockOffsetForUnitTest.store(seconds, std::memory_order_relaxed); }

bool in24Hours(NRVDate date) {
    const double delta = deltaUntilNow(date);
    return delta >= 0 && delta < 86400;
}

double deltaUntilNow(NRVDate date) { return now().sinceReferenceDate - date.sinceReferenceDate; }

bool hasPassedMidnight(NRVDate date) {
    const auto then = localFields(date);
    const auto current = localFields(now());
    if (!then || !current) return false;
    if (current->year > then->year) return true;
    if (current->month > then->month) return true;
    return current->day > then->day;
}

std::optional<std::int64_t> daysSince(NRVDate date) {
    const NRVDate current = now();
    if (!(date.sinceReferenceDate < current.sinceReferenceDate)) return std::nullopt;
    // The most days that can be added to the date without passing now; the
    // estimate from elapsed seconds is off by at most one around changes of
    // offset.
    const auto notPast = [&](std::int64_t days) {
        const auto moved = addingDays(date, days);
        return moved && moved->sinceReferenceDate <= current.sinceReferenceDate;
    };
    const double elapsed = current.sinceReferenceDate - date.sinceReferenceDate;
    if (!std::isfinite(elapsed) || elapsed / 86400 > INT32_MAX) return std::nullopt;
    auto days = static_cast<std::int64_t>(elapsed / 86400);
    while (days > 0 && !notPast(days)) --days;
    while (notPast(days + 1)) ++days;
    return days;
}

bool isPriorTo(NRVDate date, NRVDate other) { return date.sinceReferenceDate < other.sinceReferenceDate; }

NRVDate yesterdayDate() { return dateByAddingDays(now(), -1); }

NRVDate startOfDay(NRVDate date) {
    const auto local = localFields(date);
    if (!local) return date;
    const auto start = platform::time::unixSecondsFromLocal(local->year, local->month, local->day, 0, 0, 0);
    return start ? NRVDate::fromUnix(static_cast<double>(*start)) : date;
}

NRVDate dateByAddingDays(NRVDate date, std::int64_t days) { return addingDays(date, days).value_or(date); }

}  // namespace NSDateExtensions
