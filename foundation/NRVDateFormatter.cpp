#include "foundation/NRVDateFormatter.h"

#include <unicode/datefmt.h>
#include <unicode/simpletz.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>

#include "platform/text/UTF8Bridge.h"
#include "platform/time/LocalTime.h"

namespace {

// The span of instants the calendar can represent (about 5.8 million years
// either way); dates beyond it have no text.
constexpr double kMinMillis = -184303902528000000.0;
constexpr double kMaxMillis = 183882168921600000.0;

// Dates are seconds since 2001, so a value read as seconds since 1970 is only
// good to a fraction of a microsecond; rounding to whole microseconds keeps
// 0.999 s from showing as 998 ms.
double millis(NRVDate date) { return std::round(date.timeIntervalSince1970() * 1e6) / 1e3; }

double nowMillis() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double, std::milli>(sinceEpoch).count();
}

bool showable(double ms) { return std::isfinite(ms) && ms >= kMinMillis && ms <= kMaxMillis; }

// The host's zone as libc applies it at one instant: ICU's own detection
// knows zone names only (not POSIX rules in TZ) and is not thread-safe, so
// local texts take libc's offset for the instant they show.
icu::TimeZone* localZoneAt(double ms) {
    std::int32_t offset = 0;
    if (showable(ms))
        if (auto local = platform::time::localTime(static_cast<std::int64_t>(std::floor(ms / 1e3))))
            offset = local->utcOffsetSeconds;
    return new icu::SimpleTimeZone(offset * 1000, icu::UnicodeString(u"localtime"));
}

icu::TimeZone* makeZone(NRVDateFormatter::Zone zone, double ms) {
    switch (zone) {
    case NRVDateFormatter::Zone::System: return localZoneAt(ms);
    case NRVDateFormatter::Zone::UTC: return icu::TimeZone::createTimeZone("UTC");
    case NRVDateFormatter::Zone::GMT: return icu::TimeZone::getGMT()->clone();
    }
    return nullptr;
}

// A new formatter starts from ICU's default zone, which ICU detects once,
// on first use, by calling tzset and reading TZ itself: that first use runs
// under the zone lock so it cannot overlap a local-time call on another
// thread.
void detectDefaultZoneOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        const platform::time::ZoneStateLock lock;
        delete icu::TimeZone::createDefault();
    });
}

}  // namespace

NRVDateFormatter::NRVDateFormatter(std::string pattern, std::string locale, Zone zone)
    : NRVDateFormatter(std::move(pattern), std::move(locale), zone, false) {}

NRVDateFormatter::NRVDateFormatter(std::string pattern, std::string locale, Zone zone, bool mediumStyle)
    : pattern_(std::move(pattern)), locale_(std::move(locale)), zone_(zone), mediumStyle_(mediumStyle) {}

NRVDateFormatter NRVDateFormatter::mediumStyle(Zone zone) { return NRVDateFormatter("", "", zone, true); }

namespace {

// ms: the instant the formatter will show or, for parsing, now; a local
// zone takes its offset there.
std::unique_ptr<icu::DateFormat> makeFormatter(const std::string& pattern, const std::string& localeName,
                                               NRVDateFormatter::Zone zone, bool mediumStyle, double ms) {
    detectDefaultZoneOnce();
    const icu::Locale locale = localeName.empty() ? icu::Locale::getDefault() : icu::Locale(localeName.c_str());
    std::unique_ptr<icu::DateFormat> formatter;
    if (mediumStyle) {
        formatter.reset(icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, icu::DateFormat::kMedium, locale));
    } else {
        const auto unicodePattern = platform::text::unicodeFromUTF8(pattern);
        if (!unicodePattern) return nullptr;
        UErrorCode status = U_ZERO_ERROR;
        formatter = std::make_unique<icu::SimpleDateFormat>(*unicodePattern, locale, status);
        if (U_FAILURE(status)) return nullptr;
    }
    if (!formatter) return nullptr;
    formatter->adoptTimeZone(makeZone(zone, ms));
    formatter->setLenient(false);
    return formatter;
}

}  // namespace

std::string NRVDateFormatter::stringFromDate(NRVDate date) const {
    const double ms = millis(date);
    if (!showable(ms)) return "";
    const auto formatter = makeFormatter(pattern_, locale_, zone_, mediumStyle_, ms);
    if (!formatter) return "";
    icu::UnicodeString text;
    formatter->format(ms, text);
    return platform::text::utf8FromUnicode(text);
}

std::optional<NRVDate> NRVDateFormatter::dateFromString(std::optional<std::string_view> text) const {
    if (!text || text->empty()) return std::nullopt;
    const auto input = platform::text::unicodeFromUTF8(*text);
    if (!input) return std::nullopt;
    const auto formatter = makeFormatter(pattern_, locale_, zone_, mediumStyle_, nowMillis());
    if (!formatter) return std::nullopt;
    icu::ParsePosition position(0);
    const UDate ms = formatter->parse(*input, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input->length()) return std::nullopt;
    return NRVDate::fromUnix(ms / 1000.0);
}
