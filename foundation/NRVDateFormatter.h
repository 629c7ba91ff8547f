// A date format as the system's fixed texts use it: a pattern (or the medium
// date and time styles), a locale and a time zone. Immutable, so one value
// may be shared by any number of threads; every use makes its own ICU
// formatter, whose calendar is not safe to share. The "System" zone is
// libc's local time at the instant shown, so every TZ form libc accepts
// counts, read again at each use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/value/NRVValue.h"

class NRVDateFormatter {
public:
    enum class Zone { System, UTC, GMT };

    // locale "" is the process's default locale.
    NRVDateFormatter(std::string pattern, std::string locale, Zone zone);
    // The platform's medium date and time styles, default locale.
    static NRVDateFormatter mediumStyle(Zone zone);

    const std::string& dateFormat() const { return pattern_; }
    const std::string& locale() const { return locale_; }
    Zone timeZone() const { return zone_; }

    // "" for a date no calendar can show (not finite, millions of years away).
    std::string stringFromDate(NRVDate date) const;
    // The whole text must be one date of the pattern; nullopt otherwise. A
    // local zone is taken at the current instant (the fixed texts that are
    // parsed carry their own offset).
    std::optional<NRVDate> dateFromString(std::optional<std::string_view> text) const;

private:
    NRVDateFormatter(std::string pattern, std::string locale, Zone zone, bool mediumStyle);

    std::string pattern_;
    std::string locale_;
    Zone zone_;
    bool mediumStyle_ = false;
};
