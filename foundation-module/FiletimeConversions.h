// The constants and conversions between the Windows FILETIME epoch (1601) and
// the Unix epoch (1970), and the process-identifier text built on them.
// Conversions that could overflow answer nullopt (or "" for the identifier
// text) instead of wrapping.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

inline constexpr std::uint64_t WIN32_EPOCH_DIFFERENCE = 116444736000000000ull;
inline constexpr std::uint64_t HECT_NS_BETWEEN_EPOCHS = 116444736000000000ull;
inline constexpr std::uint64_t SEC_BETWEEN_EPOCHS = 11644473600ull;
inline constexpr std::uint64_t MICROSEC_PER_SEC = 1000000ull;
inline constexpr std::uint64_t HECT_NS_PER_SEC = 10000000ull;

// "<pid>:<FILETIME of the start time>"; "" for a start time of 0 seconds and
// for start times no FILETIME can hold (negative, or past 64 bits).
std::string buildNerovaPID(std::int32_t pid, std::int64_t timeSec, std::int64_t timeUSec);

struct UnixTime {
    std::int64_t seconds = 0;
    std::int64_t microseconds = 0;
    bool operator==(const UnixTime&) const = default;
};
// nullopt for a FILETIME before 1970.
std::optional<UnixTime> convertWin32FiletimeToUnix(std::uint64_t filetime);
