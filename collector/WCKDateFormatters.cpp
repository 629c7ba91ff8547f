#include "collector/WCKDateFormatters.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace DateFormatters {

namespace {

// About ±3000 years around 1970: far beyond any date the product stores, and
// well inside what time_t and the calendar arithmetic below can hold.
constexpr double kMaxAbsUnixSeconds = 95'000'000'000.0;

constexpr std::array<const char*, 12> kMonthAbbreviations = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
    static constexpr std::array<int, 12> days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[static_cast<std::size_t>(m - 1)];
}

// A small cursor over the text; every reader fails without consuming on a mismatch.
struct Scanner {
    const std::string& s;
    std::size_t pos = 0;

    bool atEnd() const { return pos == s.size(); }
    bool literal(char c) {
        if (pos < s.size() && s[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }
    bool digits(std::size_t count, int* out) {
        if (pos + count > s.size()) return false;
        int v = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const char c = s[pos + i];
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        pos += count;
        *out = v;
        return true;
    }
};

struct Fields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    double fraction = 0;
    int offsetSeconds = 0;
};

bool scanDateTime(Scanner& in, Fields& f) {
    return in.digits(4, &f.year) && in.literal('-') && in.digits(2, &f.month) && in.literal('-') &&
           in.digits(2, &f.day) && in.literal('T') && in.digits(2, &f.hour) && in.literal(':') &&
           in.digits(2, &f.minute) && in.literal(':') && in.digits(2, &f.second);
}

// "Z", "+HH:MM" or "+HHMM"; with allowHoursOnly also "+HH".
bool scanZone(Scanner& in, Fields& f, bool allowHoursOnly) {
    if (in.literal('Z')) return true;
    int sign = 0;
    if (in.literal('+')) sign = 1;
    else if (in.literal('-')) sign = -1;
    else return false;
    int hours = 0, minutes = 0;
    if (!in.digits(2, &hours)) return false;
    if (in.literal(':')) {
        if (!in.digits(2, &minutes)) return false;
    } else if (!in.digits(2, &minutes) && !allowHoursOnly) {
        return false;
    }
    if (hours > 18 || minutes > 59) return false;
    f.offsetSeconds = sign * (hours * 3600 + minutes * 60);
    return true;
}

std::optional<NRVDate> toDate(const Fields& f) {
    if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > daysInMonth(f.year, f.month) || f.hour > 23 ||
        f.minute > 59 || f.second > 59)
        return std::nullopt;
    const std::int64_t days =
        daysFromCivil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day));
    const double unix = static_cast<double>(days * 86400 + f.hour * 3600 + f.minute * 60 + f.second) +
                        f.fraction - f.offsetSeconds;
    return NRVDate::fromUnix(unix);
}

// Local broken-down time of a date, with its offset from UTC.
std::optional<std::tm> localTime(NRVDate date) {
    const double unix = date.timeIntervalSince1970();
    if (!std::isfinite(unix) || std::fabs(unix) > kMaxAbsUnixSeconds) return std::nullopt;
    const std::time_t t = static_cast<std::time_t>(std::floor(unix));
    // TZ may have changed since the last call (tests set it); localtime_r
    // alone does not look again.
    tzset();
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return std::nullopt;
    return tm;
}

}  // namespace

std::optional<NRVDate> parseIsoInput(const std::string& text) {
    Scanner in{text};
    Fields f;
    if (!scanDateTime(in, f) || !in.literal('.')) return std::nullopt;
    const std::size_t start = in.pos;
    double scale = 0.1;
    while (in.pos < text.size() && text[in.pos] >= '0' && text[in.pos] <= '9' && in.pos - start < 9) {
        f.fraction += (text[in.pos] - '0') * scale;
        scale /= 10;
        ++in.pos;
    }
    if (in.pos == start) return std::nullopt;
    if (!scanZone(in, f, false) || !in.atEnd()) return std::nullopt;
    return toDate(f);
}

std::optional<NRVDate> parseISO8601(const std::string& text) {
    Scanner in{text};
    Fields f;
    if (!scanDateTime(in, f) || !scanZone(in, f, true) || !in.atEnd()) return std::nullopt;
    return toDate(f);
}

std::optional<std::string> displayOutput(NRVDate date) {
    const auto tm = localTime(date);
    if (!tm) return std::nullopt;
    const long offset = tm->tm_gmtoff;
    const long absOffset = offset < 0 ? -offset : offset;
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d %s %02d, %04d (UTC%c%02ld%02ld)", tm->tm_hour, tm->tm_min,
                  tm->tm_sec, kMonthAbbreviations[static_cast<std::size_t>(tm->tm_mon)], tm->tm_mday,
                  tm->tm_year + 1900, offset < 0 ? '-' : '+', absOffset / 3600, (absOffset % 3600) / 60);
    return std::string(buffer);
}

std::optional<std::string> mediumDateShortTime(NRVDate date) {
    const auto tm = localTime(date);
    if (!tm) return std::nullopt;
    const int hour12 = tm->tm_hour % 12 == 0 ? 12 : tm->tm_hour % 12;
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%s %d, %d, %d:%02d %s",
                  kMonthAbbreviations[static_cast<std::size_t>(tm->tm_mon)], tm->tm_mday, tm->tm_year + 1900,
                  hour12, tm->tm_min, tm->tm_hour < 12 ? "AM" : "PM");
    return std::string(buffer);
}

std::optional<std::string> format(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    auto date = parseIsoInput(*text);
    if (!date) date = parseISO8601(*text);
    if (date) {
        if (auto shown = displayOutput(*date)) return shown;
    }
    return text;
}

std::optional<NRVDate> dateFromUnixSeconds(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxAbsUnixSeconds) return std::nullopt;
    return NRVDate::fromUnix(seconds);
}

}  // namespace DateFormatters
