#include "tools/log/LogDate.h"

#include <cstdint>
#include <regex>

#include "platform/time/LocalTime.h"

namespace logtool {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

}  // namespace

// "yyyy-MM-dd" or "yyyy-MM-dd HH:mm:ss", local time; or "yyyy-MM-dd
// HH:mm:ss±zzzz" (a blank before the offset allowed) at that offset.
std::optional<double> parseDate(const std::string& text) {
    static const std::regex pattern(
        R"((\d{4})-(\d{2})-(\d{2})(?: (\d{2}):(\d{2}):(\d{2})(?: ?([+-])(\d{2}):?(\d{2}))?)?)");
    std::smatch m;
    if (!std::regex_match(text, m, pattern)) return std::nullopt;
    const int month = std::stoi(m[2]), day = std::stoi(m[3]);
    const int hour = m[4].matched ? std::stoi(m[4]) : 0;
    const int minute = m[5].matched ? std::stoi(m[5]) : 0;
    const int second = m[6].matched ? std::stoi(m[6]) : 0;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    if (m[7].matched) {
        const int offsetHours = std::stoi(m[8]), offsetMinutes = std::stoi(m[9]);
        if (offsetHours > 23 || offsetMinutes > 59) return std::nullopt;
        const std::int64_t offset = (m[7] == "-" ? -1 : 1) * (offsetHours * 3600 + offsetMinutes * 60);
        const std::int64_t wall =
            daysFromCivil(std::stoll(m[1]), month, day) * 86400 + hour * 3600 + minute * 60 + second;
        return static_cast<double>(wall - offset);
    }
    const auto seconds = platform::time::unixSecondsFromLocal(std::stoll(m[1]), month, day, hour, minute, second);
    if (!seconds) return std::nullopt;
    return static_cast<double>(*seconds);
}

}  // namespace logtool
