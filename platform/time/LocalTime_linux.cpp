#include "platform/time/LocalTime.h"
#include "platform/memory/NoDestructor.h"

#include <time.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/thread/Mutex.h"

namespace platform::time {

namespace {

// libc guards its zone state with a lock of its own, but tzset reads TZ
// (racing a setenv) and the race detector cannot see libc's lock; one lock
// of ours over every use keeps the state consistent wherever it is read.
platform::Mutex& zoneStateMutex() {
    static platform::Mutex mutex;
    return mutex;
}

// The last conversion, guarded by the zone-state lock. A second converted
// once is answered again from here while TZ reads the same, so a burst of
// log records does not make libc look at the zone file for each; a zone
// file replaced meanwhile counts from the next second on.
struct LastConversion {
    bool valid = false;
    time_t second = 0;
    bool zoneSet = false;
    std::string zone;
    tm local{};
};

LastConversion& lastConversion() REQUIRES(zoneStateMutex()) {
    static platform::NoDestructor<LastConversion> last;  // never destroyed: used while the process exits
    return *last;
}

}  // namespace

ZoneStateLock::ZoneStateLock() : lock_(zoneStateMutex()) {}

std::optional<LocalTime> localTime(std::int64_t unixSeconds) {
    const time_t t = static_cast<time_t>(unixSeconds);
    tm local{};
    {
        const platform::MutexLock lock(zoneStateMutex());
        LastConversion& last = lastConversion();
        const char* zone = std::getenv("TZ");
        if (last.valid && last.second == t && last.zoneSet == (zone != nullptr) && (!zone || last.zone == zone)) {
            local = last.local;
        } else {
            // localtime_r need not look at TZ again; tzset makes a changed TZ count.
            ::tzset();
            if (!::localtime_r(&t, &local)) return std::nullopt;
            last.valid = true;
            last.second = t;
            last.zoneSet = zone != nullptr;
            last.zone = zone ? zone : "";
            last.local = local;
        }
    }
    LocalTime result;
    result.year = static_cast<std::int64_t>(local.tm_year) + 1900;
    result.month = local.tm_mon + 1;
    result.day = local.tm_mday;
    result.hour = local.tm_hour;
    result.minute = local.tm_min;
    result.second = local.tm_sec;
    result.weekday = local.tm_wday;
    result.utcOffsetSeconds = static_cast<std::int32_t>(local.tm_gmtoff);
    return result;
}

std::optional<std::int64_t> unixSecondsFromLocal(std::int64_t year, std::int64_t month, std::int64_t day, int hour,
                                                 int minute, int second) {
    // Bring the month into 1-12 first, so tm_mon and tm_year stay small.
    std::int64_t m0 = month - 1;
    std::int64_t y = year + (m0 >= 0 ? m0 / 12 : -((11 - m0) / 12));
    m0 -= (y - year) * 12;
    const std::int64_t tmYear = y - 1900;
    if (tmYear < INT_MIN || tmYear > INT_MAX || day < INT_MIN || day > INT_MAX) return std::nullopt;
    const platform::MutexLock lock(zoneStateMutex());
    ::tzset();
    tm fields{};
    fields.tm_year = static_cast<int>(tmYear);
    fields.tm_mon = static_cast<int>(m0);
    fields.tm_mday = static_cast<int>(day);
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    const time_t t = ::mktime(&fields);
    // mktime answers -1 both for failure and for 1969-12-31 23:59:59 UTC;
    // a normalised result tells them apart.
    if (t == static_cast<time_t>(-1)) {
        tm check{};
        const time_t minusOne = -1;
        if (!::localtime_r(&minusOne, &check) || check.tm_year != fields.tm_year || check.tm_mon != fields.tm_mon ||
            check.tm_mday != fields.tm_mday || check.tm_hour != fields.tm_hour || check.tm_min != fields.tm_min ||
            check.tm_sec != fields.tm_sec)
            return std::nullopt;
    }
    return static_cast<std::int64_t>(t);
}

}  // namespace platform::time
