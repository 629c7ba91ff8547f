#include "foundation-module/FiletimeConversions.h"

std::string buildNerovaPID(std::int32_t pid, std::int64_t timeSec, std::int64_t timeUSec) {
    if (timeSec == 0) return "";
    if (timeSec < 0 || timeUSec < 0) return "";
    std::uint64_t microseconds = 0, filetime = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(timeSec), MICROSEC_PER_SEC, &microseconds) ||
        __builtin_add_overflow(microseconds, static_cast<std::uint64_t>(timeUSec), &microseconds) ||
        __builtin_mul_overflow(microseconds, std::uint64_t{10}, &filetime) ||
        __builtin_add_overflow(filetime, WIN32_EPOCH_DIFFERENCE, &filetime))
        return "";
    return std::to_string(pid) + ":" + std::to_string(filetime);
}

std::optional<UnixTime> convertWin32FiletimeToUnix(std::uint64_t filetime) {
    if (filetime < WIN32_EPOCH_DIFFERENCE) return std::nullopt;
    const std::uint64_t d = filetime - WIN32_EPOCH_DIFFERENCE;
    return UnixTime{static_cast<std::int64_t>(d / HECT_NS_PER_SEC), static_cast<std::int64_t>((d % HECT_NS_PER_SEC) / 10)};
}
