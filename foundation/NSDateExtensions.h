// The system's fixed date texts (log timestamps, audit records, RFC 3339,
// ISO 8601, the date stamp of unified-log extract names), Windows FILETIME
// numbers, POSIX time values and calendar-day helpers. Local time follows the
// process's time zone (TZ) at the moment of each call; calendar arithmetic
// uses the user's current calendar. Texts answer "" and parsers nullopt for
// dates that cannot be formatted or texts that do not parse.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/NRVDateFormatter.h"
#include "platform/value/NRVValue.h"

namespace NSDateExtensions {

// The formatters behind the texts below. The first two are made new on every
// call; the other two are made once and shared (formatters are immutable and
// safe on any thread).
NRVDateFormatter scanLogDateFormatter();
NRVDateFormatter qrbLogDateFormatter();
const NRVDateFormatter& auditTimestampFormatter();
const NRVDateFormatter& rfc3339DateFormatter();

// "yyyy-MM-dd HH:mm:ss ZZ" in the system time zone.
std::string scanLogTimestamp(NRVDate date);
// "yyyy-MM-dd HH:mm:ss Z" in the system time zone.
std::string qrbLogTimestamp(NRVDate date);
std::optional<NRVDate> dateFromQrbLogTimestamp(std::optional<std::string_view> text);
// "yyyy-MM-dd HH:mm:ss.SSS" in local time.
std::string auditRecordTimestamp(NRVDate date);
// UTC with six fraction digits (whole milliseconds) and "Z".
std::string rfc3339FormattedString(NRVDate date);
std::optional<NRVDate> dateFromRFC3339FormattedString(std::optional<std::string_view> text);
// "yyyy-MM-ddTHH:mm:ssZ" in UTC.
std::string iso8601FormattedString(NRVDate date);
// The local calendar day as "yyyy-MM-dd": the stamp in extract file names.
std::string zepLogFormattedDateString(NRVDate date);
// Reads back the day of "com.nerova.rivovovuvev-yyyy-MM-dd.log.gz" (or of the
// bare stamp) as midnight UTC.
std::optional<NRVDate> dateFromZEPLogFilename(std::optional<std::string_view> fileName);
// The date in the given pattern, in UTC with the "en_US_POSIX" locale.
std::string timestampAsUTC(std::optional<NRVDate> date, std::string_view format);
// The date in the given pattern, in the host's time zone with the
// "en_US_POSIX" locale; "" for nil or a date no calendar can show.
std::string localTimestamp(std::optional<NRVDate> date, std::string_view pattern);
// The whole text read as one date of the pattern ("en_US_POSIX"; UTC unless
// the pattern has a zone); nullopt when it is not one.
std::optional<NRVDate> dateFromString(std::optional<std::string_view> text, std::string_view pattern);
std::string mediumStyleFormattedDate(NRVDate date);

// 100-nanosecond intervals since 1601-01-01 UTC as decimal text; "0" for nil.
// Dates before 1601 give "0", dates past the range the largest count.
std::string dateToFiletimeString(std::optional<NRVDate> date);
NRVDate filetimeStringToDate(std::optional<std::string_view> text);
NRVDate dateWithTimeval(std::int64_t seconds, std::int32_t microseconds);
NRVDate dateWithTimespec(std::int64_t seconds, std::int64_t nanoseconds);

NRVDate now();
// Tests: moves the clock behind now() by `seconds` (0 puts it back), for a
// test that crosses midnight or another boundary.
void setClockOffsetForUnitTest(double seconds);
// Now minus the date lies in [0, 86400) seconds.
bool in24Hours(NRVDate date);
double deltaUntilNow(NRVDate date);
// Whether a new calendar day (local) has begun since the date.
bool hasPassedMidnight(NRVDate date);
// Whole calendar days from a past date to now; nullopt for now or later.
std::optional<std::int64_t> daysSince(NRVDate date);
bool isPriorTo(NRVDate date, NRVDate other);
NRVDate yesterdayDate();
NRVDate startOfDay(NRVDate date);
NRVDate dateByAddingDays(NRVDate date, std::int64_t days);

}  // namespace NSDateExtensions
