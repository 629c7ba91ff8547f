#include "collector/wellcheck/WCKDateFormatters.h"

#include <cmath>

#include "foundation/NSDateExtensions.h"

namespace DateFormatters {

namespace {

// About ±3000 years around 1970: far beyond any date the product stores, and
// well inside what the calendar conversions can hold.
constexpr double kMaxAbsUnixSeconds = 95'000'000'000.0;

std::optional<std::string> shown(NRVDate date, std::string_view pattern) {
    const double unix = date.timeIntervalSince1970();
    if (!std::isfinite(unix) || std::fabs(unix) > kMaxAbsUnixSeconds) return std::nullopt;
    std::string text = NSDateExtensions::localTimestamp(date, pattern);
    if (text.empty()) return std::nullopt;
    return text;
}

std::optional<NRVDate> firstParsed(const std::string& text, std::initializer_list<std::string_view> patterns) {
    for (std::string_view pattern : patterns)
        if (auto date = NSDateExtensions::dateFromString(text, pattern)) return date;
    return std::nullopt;
}

}  // namespace

std::optional<NRVDate> parseIsoInput(const std::string& text) {
    return firstParsed(text, {"yyyy-MM-dd'T'HH:mm:ss.SSSSSSZZZZZ", "yyyy-MM-dd'T'HH:mm:ss.SSSSSSZ"});
}

std::optional<NRVDate> parseISO8601(const std::string& text) {
    return firstParsed(text, {"yyyy-MM-dd'T'HH:mm:ssZZZZZ", "yyyy-MM-dd'T'HH:mm:ssZ", "yyyy-MM-dd'T'HH:mm:ssX"});
}

std::optional<std::string> displayOutput(NRVDate date) { return shown(date, "HH:mm:ss MMM dd, yyyy ('UTC'Z)"); }

std::optional<std::string> mediumDateShortTime(NRVDate date) { return shown(date, "MMM d, y, h:mm a"); }

std::optional<std::string> format(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    auto date = parseIsoInput(*text);
    if (!date) date = parseISO8601(*text);
    if (date) {
        if (auto displayed = displayOutput(*date)) return displayed;
    }
    return text;
}

std::optional<NRVDate> dateFromUnixSeconds(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxAbsUnixSeconds) return std::nullopt;
    return NRVDate::fromUnix(seconds);
}

}  // namespace DateFormatters
