#include "foundation/NSDateExtensions.h"

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

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

enum class Zone { System, UTC, GMT };

icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

icu::TimeZone* makeZone(Zone zone) {
    switch (zone) {
    case Zone::System: return icu::TimeZone::detectHostTimeZone();
    case Zone::UTC: return icu::TimeZone::createTimeZone("UTC");
    case Zone::GMT: return icu::TimeZone::getGMT()->clone();
    }
    return nullptr;
}

// A formatter per call: they are cheap enough for these uses, keep no state
// between threads, and see the time zone as it is now.
std::unique_ptr<icu::SimpleDateFormat> makeFormatter(std::string_view pattern, const char* locale, Zone zone) {
    UErrorCode status = U_ZERO_ERROR;
    auto formatter = std::make_unique<icu::SimpleDateFormat>(
        unicode(pattern), locale ? icu::Locale(locale) : icu::Locale::getDefault(), status);
    if (U_FAILURE(status)) return nullptr;
    formatter->adoptTimeZone(makeZone(zone));
    formatter->setLenient(false);
    return formatter;
}

// Dates are seconds since 2001, so a value read as seconds since 1970 is only
// good to a fraction of a microsecond; rounding to whole microseconds keeps
// 0.999 s from showing as 998 ms.
double millis(NRVDate date) { return std::round(date.timeIntervalSince1970() * 1e6) / 1e3; }
NRVDate fromMillis(UDate ms) { return NRVDate::fromUnix(ms / 1000.0); }
std::string formatMillis(const icu::DateFormat* formatter, double ms) {
    if (!formatter || !std::isfinite(ms) || ms < kMinMillis || ms > kMaxMillis) return "";
    icu::UnicodeString text;
    formatter->format(ms, text);
    return utf8(text);
}

std::string format(const icu::DateFormat* formatter, NRVDate date) { return formatMillis(formatter, millis(date)); }

std::string format(std::string_view pattern, const char* locale, Zone zone, NRVDate date) {
    return format(makeFormatter(pattern, locale, zone).get(), date);
}

// The whole text must be one date of the pattern.
std::optional<NRVDate> parse(std::string_view pattern, const char* locale, Zone zone, std::optional<std::string_view> text) {
    if (!text || text->empty() || text->size() > INT32_MAX / 2) return std::nullopt;
    auto formatter = makeFormatter(pattern, locale, zone);
    if (!formatter) return std::nullopt;
    const icu::UnicodeString input = unicode(*text);
    icu::ParsePosition position(0);
    const UDate ms = formatter->parse(input, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;
    return fromMillis(ms);
}

std::unique_ptr<icu::Calendar> currentCalendar(NRVDate date) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(
        icu::Calendar::createInstance(icu::TimeZone::detectHostTimeZone(), icu::Locale::getDefault(), status));
    if (U_FAILURE(status)) return nullptr;
    const double ms = millis(date);
    calendar->setTime(std::isnan(ms) ? 0.0 : std::clamp(ms, kMinMillis, kMaxMillis), status);
    return U_FAILURE(status) ? nullptr : std::move(calendar);
}

NRVDate calendarTime(icu::Calendar& calendar, NRVDate fallback) {
    UErrorCode status = U_ZERO_ERROR;
    const UDate ms = calendar.getTime(status);
    return U_FAILURE(status) ? fallback : fromMillis(ms);
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

std::string scanLogTimestamp(NRVDate date) { return format("yyyy-MM-dd HH:mm:ss ZZ", nullptr, Zone::System, date); }

std::string qrbLogTimestamp(NRVDate date) {
    return format("yyyy'-'MM'-'dd' 'HH':'mm':'ss Z'", nullptr, Zone::System, date);
}

std::optional<NRVDate> dateFromQrbLogTimestamp(std::optional<std::string_view> text) {
    return parse("yyyy'-'MM'-'dd' 'HH':'mm':'ss Z'", nullptr, Zone::System, text);
}

std::string auditRecordTimestamp(NRVDate date) {
    return format("yyyy-MM-dd HH:mm:ss.SSS", nullptr, Zone::System, date);
}

std::string rfc3339FormattedString(NRVDate date) {
    auto formatter = makeFormatter("yyyy-MM-dd'T'HH:mm:ss.SSSSSSZZZZZ", "en_US_POSIX", Zone::GMT);
    return formatMillis(formatter.get(), std::floor(millis(date)));
}

std::optional<NRVDate> dateFromRFC3339FormattedString(std::optional<std::string_view> text) {
    return parse("yyyy-MM-dd'T'HH:mm:ss.SSSSSSZZZZZ", "en_US_POSIX", Zone::GMT, text);
}

std::string iso8601FormattedString(NRVDate date) {
    return format("yyyy-MM-dd'T'HH:mm:ssZZZZZ", "en_US_POSIX", Zone::GMT, date);
}

std::string zepLogFormattedDateString(NRVDate date) { return format("yyyy-MM-dd", nullptr, Zone::System, date); }

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
    std::unique_ptr<icu::DateFormat> formatter(
        icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, icu::DateFormat::kMedium));
    if (formatter) formatter->adoptTimeZone(makeZone(Zone::System));
    return format(formatter.get(), date);
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

NRVDate now() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return NRVDate::fromUnix(std::chrono::duration<double>(sinceEpoch).count());
}

bool in24Hours(NRVDate date) {
    const double delta = deltaUntilNow(date);
    return delta >= 0 && delta < 86400;
}

double deltaUntilNow(NRVDate date) { return now().sinceReferenceDate - date.sinceReferenceDate; }

bool hasPassedMidnight(NRVDate date) {
    auto then = currentCalendar(date);
    auto current = currentCalendar(now());
    if (!then || !current) return false;
    UErrorCode status = U_ZERO_ERROR;
    const auto field = [&](icu::Calendar& calendar, UCalendarDateFields f) { return calendar.get(f, status); };
    if (field(*current, UCAL_EXTENDED_YEAR) > field(*then, UCAL_EXTENDED_YEAR)) return true;
    if (field(*current, UCAL_MONTH) > field(*then, UCAL_MONTH)) return true;
    return field(*current, UCAL_DAY_OF_MONTH) > field(*then, UCAL_DAY_OF_MONTH);
}

std::optional<std::int64_t> daysSince(NRVDate date) {
    const NRVDate current = now();
    if (!(date.sinceReferenceDate < current.sinceReferenceDate)) return std::nullopt;
    auto calendar = currentCalendar(date);
    if (!calendar) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const int32_t days = calendar->fieldDifference(std::min(millis(current), kMaxMillis), UCAL_DATE, status);
    if (U_FAILURE(status)) return std::nullopt;
    return days;
}

bool isPriorTo(NRVDate date, NRVDate other) { return date.sinceReferenceDate < other.sinceReferenceDate; }

NRVDate yesterdayDate() { return dateByAddingDays(now(), -1); }

NRVDate startOfDay(NRVDate date) {
    auto calendar = currentCalendar(date);
    if (!calendar) return date;
    calendar->set(UCAL_HOUR_OF_DAY, 0);
    calendar->set(UCAL_MINUTE, 0);
    calendar->set(UCAL_SECOND, 0);
    calendar->set(UCAL_MILLISECOND, 0);
    return calendarTime(*calendar, date);
}

NRVDate dateByAddingDays(NRVDate date, std::int64_t days) {
    auto calendar = currentCalendar(date);
    if (!calendar) return date;
    UErrorCode status = U_ZERO_ERROR;
    calendar->add(UCAL_DATE, static_cast<int32_t>(std::clamp<std::int64_t>(days, INT32_MIN, INT32_MAX)), status);
    if (U_FAILURE(status)) return date;
    // The calendar works in whole milliseconds; keep the finer part.
    const double ms = millis(date);
    const double fraction = std::isfinite(ms) ? ms - std::floor(ms) : 0.0;
    const NRVDate moved = calendarTime(*calendar, date);
    return NRVDate::fromUnix(moved.timeIntervalSince1970() + fraction / 1000.0);
}

}  // namespace NSDateExtensions
