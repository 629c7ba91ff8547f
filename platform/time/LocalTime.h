// Local time as libc sees it: the zone comes from TZ at the moment of each
// call (a zone name, a POSIX rule such as "<+0530>-5:30" or
// "CET-1CEST,M3.5.0,M10.5.0/3", or none for the host's zone), so that every
// local date text agrees with `date` and with the log store. Safe to call
// from any thread: every use of libc's zone state in the program (tzset,
// localtime_r, mktime, TZ and the zone globals) goes through here under one
// lock, since tzset rewrites that state while another thread may read it.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/thread/Mutex.h"

namespace platform::time {

struct LocalTime {
    std::int64_t year = 0;  // proleptic Gregorian, 1 BC is 0
    int month = 1;          // 1-12
    int day = 1;            // 1-31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int weekday = 0;                    // 0 is Sunday
    std::int32_t utcOffsetSeconds = 0;  // east of UTC
};

// The wall clock at whole second `unixSeconds`; nullopt where libc cannot
// represent the year.
std::optional<LocalTime> localTime(std::int64_t unixSeconds);

// The instant at which the local wall clock shows the given fields (fields
// out of their range carry over, as mktime does: day 32 is the next month's
// first). A wall time that a change of offset skips or repeats resolves as
// libc resolves it. nullopt when it cannot be represented.
std::optional<std::int64_t> unixSecondsFromLocal(std::int64_t year, std::int64_t month, std::int64_t day, int hour,
                                                 int minute, int second);

// Held while a library that reads libc's zone itself (ICU's detection of the
// host zone calls tzset and reads TZ) does so, so that it never runs beside
// the calls above. Not to be held around them: the lock is not recursive.
class ZoneStateLock {
public:
    ZoneStateLock();
    ZoneStateLock(const ZoneStateLock&) = delete;
    ZoneStateLock& operator=(const ZoneStateLock&) = delete;

private:
    platform::MutexLock lock_;
};

}  // namespace platform::time
