// Small helpers on value types: hex text of bytes, date texts and calendar
// look-ups, key mapping, the epoch conversions between Windows FILETIME and
// Unix time, the process-identifier text and size conversions.
//
// Conversions that could overflow answer nullopt (or "" for the identifier
// text) instead of wrapping. Local time follows the process's time zone at the
// moment of each call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "foundation/NRVError.h"
#include "platform/value/NRVValue.h"

inline constexpr std::uint64_t WIN32_EPOCH_DIFFERENCE = 116444736000000000ull;
inline constexpr std::uint64_t HECT_NS_BETWEEN_EPOCHS = 116444736000000000ull;
inline constexpr std::uint64_t SEC_BETWEEN_EPOCHS = 11644473600ull;
inline constexpr std::uint64_t MICROSEC_PER_SEC = 1000000ull;
inline constexpr std::uint64_t HECT_NS_PER_SEC = 10000000ull;

namespace DataExtension {
// "(null)" for nil, else hexRepresentation (so "<>" for empty data).
std::string hexDescription(const NRVData* data);
// "<" + two lower-case hex digits per byte + ">", a blank after every fourth
// byte except the last.
std::string hexRepresentation(const NRVData& data);
}  // namespace DataExtension

namespace DateExtension {

enum class Weekday { sunday = 1, monday, tuesday, wednesday, thursday, friday, saturday };
// 1 to 7; nullopt for anything else.
std::optional<Weekday> weekdayFromRawValue(int rawValue);
// The English day name in any capitalisation; abbreviations are not names.
std::optional<Weekday> getWeekdayFromString(std::string_view string);

enum class Component { second, minute, hour, day, weekOfYear, month, year };

// The date in the pattern, in UTC with the "en_US_POSIX" locale.
std::string timestampUTCWithFormat(NRVDate date, std::string_view format);
// "E MMM d HH:mm:ss yyyy zzz" in local time.
std::string osqueryDateString(NRVDate date);
// The latest local time strictly before the reference whose weekday, hour and
// minute match (seconds zero). A time the clock skips that day is taken at the
// next time that exists. nullopt for hours or minutes out of range.
std::optional<NRVDate> dateMatchingPrevious(Weekday weekday, int hour, int minute, NRVDate relativeTo);
// The date moved by the amount of the component in the Gregorian calendar
// (local time; a month end is kept within the month); nullopt when the
// calendar cannot compute it.
std::optional<NRVDate> dateByAdding(NRVDate date, std::int64_t amount, Component component);

}  // namespace DateExtension

namespace DateFormatterExtension {
struct TimeComponents {
    int hour = 0, minute = 0, second = 0;
    bool operator==(const TimeComponents&) const = default;
};
// The text read with the pattern; the hour, minute and second as written.
std::optional<TimeComponents> getDateComponents(std::string_view fromDate, std::string_view withFormat);
}  // namespace DateFormatterExtension

namespace DictionaryExtension {
// Thrown by mapKeys when two keys map to the same new key: one of the values
// would be lost.
struct DuplicateKeyError {};

// A new dictionary with every key transformed and the values kept. What the
// transform throws comes through unchanged.
template <class NewKey, class Key, class Value, class Transform>
std::unordered_map<NewKey, Value> mapKeys(const std::unordered_map<Key, Value>& dictionary, Transform transform) {
    std::unordered_map<NewKey, Value> result;
    result.reserve(dictionary.size());
    for (const auto& [key, value] : dictionary)
        if (!result.emplace(transform(key), value).second) throw DuplicateKeyError{};
    return result;
}
}  // namespace DictionaryExtension

namespace StringExtension {
// nullopt for "", else the string.
std::optional<std::string> content(std::string_view string);
}  // namespace StringExtension

std::optional<std::int64_t> convertKBtoBytes(std::int64_t numberOfKB);
std::optional<std::int64_t> convertMBtoBytes(std::int64_t numberOfMB);
std::optional<std::int64_t> convertGBtoBytes(std::int64_t numberOfGB);

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

// Where code asks for the current time, so that tests can hand in another.
class NWKDateManagerProtocol {
public:
    virtual ~NWKDateManagerProtocol() = default;
    virtual NRVDate date() const = 0;
};

class NWKDateManager : public NWKDateManagerProtocol {
public:
    // One manager for the process, made on first use.
    static const NWKDateManagerProtocol& getDefaultManager();
    NRVDate date() const override;
};

// Where code touches the file system, so that tests can hand in another.
class NWKFileManager {
public:
    virtual ~NWKFileManager() = default;
    static NWKFileManager& defaultManager();
    virtual bool fileExists(const std::string& atPath) const;
    // Throws NRVError; an item at the destination is never replaced.
    virtual void moveItem(const std::string& atPath, const std::string& toPath) const;
};
