// Date parsing and display of the snapshot report. Dates are NRVDate
// (seconds since 2001); display is in the host's local time zone.
#pragma once

#include <optional>
#include <string>

#include "platform/value/NRVValue.h"

namespace DateFormatters {

// "yyyy-MM-dd'T'HH:mm:ss.SSSSSSZZZZZ", e.g. 2024-03-01T08:15:30.123456+00:00
// (the zone may also be "Z" or "+0000").
std::optional<NRVDate> parseIsoInput(const std::string& text);
// Internet date and time without fractional seconds, e.g. 2024-03-01T08:15:30Z.
std::optional<NRVDate> parseISO8601(const std::string& text);
// "HH:mm:ss MMM dd, yyyy ('UTC'Z)" in local time, e.g. 08:15:30 Mar 01, 2024 (UTC+0000).
// nullopt for a date that no calendar can show (not finite, far out of range).
std::optional<std::string> displayOutput(NRVDate date);
// Medium date and short time in local time, e.g. Mar 1, 2024, 8:15 AM.
std::optional<std::string> mediumDateShortTime(NRVDate date);

// A stored date text as the report shows it: reformatted when it parses,
// unchanged when it does not; nullopt only for no text.
std::optional<std::string> format(const std::optional<std::string>& text);

// Seconds since 1970 as a date; nullopt for NaN, infinities and values past
// any year the report can show, which would overflow later conversions.
std::optional<NRVDate> dateFromUnixSeconds(double seconds);

}  // namespace DateFormatters
