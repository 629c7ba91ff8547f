#include "foundation/NSDateExtensions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <optional>
#include <string>
#include <ctime>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

using namespace NSDateExtensions;

namespace {

NRVDate unix(double seconds) { return NRVDate::fromUnix(seconds); }
// 2024-02-29 00:00:00 UTC
constexpr double kLeapDay = 1709164800.0;

}  // namespace

TEST(NSDateExtensions, FixedFormatsInUTC) {
    const NRVDate date = unix(kLeapDay + 3723.4567);  // 01:02:03.4567
    EXPECT_EQ(rfc3339FormattedString(date), "2024-02-29T01:02:03.456000Z");
    EXPECT_EQ(iso8601FormattedString(date), "2024-02-29T01:02:03Z");
    EXPECT_EQ(timestampAsUTC(date, "yyyyMMdd_HHmmss"), "20240229_010203");
    EXPECT_EQ(timestampAsUTC(std::nullopt, "yyyy"), "");
    // Milliseconds are cut down, never rounded up.
    EXPECT_EQ(rfc3339FormattedString(unix(0.9999)), "1970-01-01T00:00:00.999000Z");
    EXPECT_EQ(rfc3339FormattedString(unix(-0.0005)), "1969-12-31T23:59:59.999000Z");
}

TEST(NSDateExtensions, LocalFormatsFollowTheTimeZone) {
    testsupport::ScopedEnv tz("TZ", "America/New_York");
    const NRVDate date = unix(kLeapDay + 3723.456);  // 2024-02-28 20:02:03 in New York
    EXPECT_EQ(scanLogTimestamp(date), "2024-02-28 20:02:03 -0500");
    EXPECT_EQ(qrbLogTimestamp(date), "2024-02-28 20:02:03 -0500");
    EXPECT_EQ(auditRecordTimestamp(date), "2024-02-28 20:02:03.456");
    EXPECT_FALSE(mediumStyleFormattedDate(date).empty());
    EXPECT_NE(mediumStyleFormattedDate(date).find("2024"), std::string::npos);
}

TEST(NSDateExtensions, ExtractStampIsTheLocalDay) {
    struct Case {
        const char* name;
        const char* zone;
        double seconds;
        const char* expected;
    } cases[] = {
        {"just after midnight in Tokyo, still the day before in UTC", "Asia/Tokyo", kLeapDay - 3600 + 60, "2024-02-29"},
        {"the same instant in UTC", "UTC", kLeapDay - 3600 + 60, "2024-02-28"},
        {"evening in Los Angeles, next day in UTC", "America/Los_Angeles", kLeapDay + 3600, "2024-02-28"},
        {"across the spring change in Berlin", "Europe/Berlin", 1711846800.0 + 60, "2024-03-31"},
    };
    for (const auto& c : cases) {
        testsupport::ScopedEnv tz("TZ", std::string(c.zone));
        EXPECT_EQ(zepLogFormattedDateString(unix(c.seconds)), c.expected) << c.name;
    }
}

TEST(NSDateExtensions, ExtractStampReadBack) {
    testsupport::ScopedEnv tz("TZ", "Asia/Tokyo");  // reading back is in UTC whatever the zone
    struct Case {
        const char* name;
        std::optional<std::string_view> text;
        std::optional<double> expected;
    } cases[] = {
        {"full extract name", "com.nerova.rivovovuvev-2024-02-29.log.gz", kLeapDay},
        {"bare stamp", "2024-02-29", kLeapDay},
        {"other prefix", "com.other-2024-02-29.log.gz", std::nullopt},
        {"no such day", "com.nerova.rivovovuvev-2023-02-29.log.gz", std::nullopt},
        {"malformed", "com.nerova.rivovovuvev-2024-2x-29.log.gz", std::nullopt},
        {"trailing text", "2024-02-29 junk", std::nullopt},
        {"empty", "", std::nullopt},
        {"nil", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        auto date = dateFromZEPLogFilename(c.text);
        ASSERT_EQ(date.has_value(), c.expected.has_value()) << c.name;
        if (date) {
            EXPECT_DOUBLE_EQ(date->timeIntervalSince1970(), *c.expected) << c.name;
        }
    }
}

TEST(NSDateExtensions, TimestampsParseBack) {
    testsupport::ScopedEnv tz("TZ", "Europe/Berlin");
    const NRVDate date = unix(kLeapDay + 3723.0);
    auto qrb = dateFromQrbLogTimestamp(qrbLogTimestamp(date));
    ASSERT_TRUE(qrb);
    EXPECT_DOUBLE_EQ(qrb->timeIntervalSince1970(), date.timeIntervalSince1970());
    auto rfc = dateFromRFC3339FormattedString("2024-02-29T01:02:03.456000Z");
    ASSERT_TRUE(rfc);
    EXPECT_NEAR(rfc->timeIntervalSince1970(), kLeapDay + 3723.456, 1e-6);
    EXPECT_FALSE(dateFromQrbLogTimestamp("yesterday"));
    EXPECT_FALSE(dateFromQrbLogTimestamp(std::nullopt));
    EXPECT_FALSE(dateFromRFC3339FormattedString("2024-02-29"));
}

TEST(NSDateExtensions, Filetime) {
    struct Case {
        const char* name;
        std::optional<double> seconds;
        const char* text;
    } cases[] = {
        {"epoch", 0.0, "116444736000000000"},
        {"nil", std::nullopt, "0"},
        {"1601 itself", -11644473600.0, "0"},
        {"before 1601 clamps", -20000000000.0, "0"},
        {"one second", 1.0, "116444736010000000"},
        {"far future clamps", 1e13, "18446744073709551615"},
        {"not a number", std::nan(""), "0"},
    };
    for (const auto& c : cases) {
        std::optional<NRVDate> date;
        if (c.seconds) date = unix(*c.seconds);
        EXPECT_EQ(dateToFiletimeString(date), c.text) << c.name;
    }
    EXPECT_DOUBLE_EQ(filetimeStringToDate("116444736000000000").timeIntervalSince1970(), 0.0);
    EXPECT_DOUBLE_EQ(filetimeStringToDate("116444736010000000").timeIntervalSince1970(), 1.0);
    EXPECT_DOUBLE_EQ(filetimeStringToDate("0").timeIntervalSince1970(), -11644473600.0);
    // Out-of-range and signed texts stay finite instead of wrapping.
    EXPECT_NEAR(filetimeStringToDate("99999999999999999999999").timeIntervalSince1970(),
                (9223372036854775807.0 - 116444736000000000.0) / 1e7, 1.0);
    EXPECT_NEAR(filetimeStringToDate("-9999999999999999999999").timeIntervalSince1970(),
                (-9223372036854775808.0 - 116444736000000000.0) / 1e7, 1.0);
}

TEST(NSDateExtensions, PosixTimeValues) {
    // Dates hold about a tenth of a microsecond here.
    EXPECT_NEAR(dateWithTimeval(100, 5).timeIntervalSince1970(), 100.000005, 1e-7);
    EXPECT_NEAR(dateWithTimeval(100, 500000).timeIntervalSince1970(), 100.5, 1e-7);
    EXPECT_NEAR(dateWithTimespec(7, 123456789).timeIntervalSince1970(), 7.123456, 1e-7);
    EXPECT_NEAR(dateWithTimespec(7, 999).timeIntervalSince1970(), 7.0, 1e-7);
}

TEST(NSDateExtensions, RelativeToNow) {
    const double current = now().timeIntervalSince1970();
    EXPECT_FALSE(in24Hours(unix(current + 1)));
    EXPECT_TRUE(in24Hours(unix(current - 10)));
    EXPECT_FALSE(in24Hours(unix(current - 86400)));
    EXPECT_NEAR(deltaUntilNow(unix(current - 50)), 50, 5);
    EXPECT_LT(deltaUntilNow(unix(current + 100)), 0);
    EXPECT_EQ(daysSince(unix(current - 36 * 3600)), 1);
    EXPECT_EQ(daysSince(unix(current - 10 * 86400 - 60)), 10);
    EXPECT_FALSE(daysSince(unix(current + 3600)));
    EXPECT_TRUE(isPriorTo(unix(1), unix(2)));
    EXPECT_FALSE(isPriorTo(unix(2), unix(2)));
    EXPECT_TRUE(hasPassedMidnight(unix(current - 3 * 86400)));
    EXPECT_FALSE(hasPassedMidnight(now()));
    EXPECT_NEAR(yesterdayDate().timeIntervalSince1970(), current - 86400, 3600 + 5);
}

TEST(NSDateExtensions, CalendarDays) {
    testsupport::ScopedEnv tz("TZ", "Europe/Berlin");
    const NRVDate afternoon = unix(1711886400.0 + 0.25);  // 2024-03-31 14:00:00.25 CEST, the day clocks went forward
    EXPECT_DOUBLE_EQ(startOfDay(afternoon).timeIntervalSince1970(), 1711839600.0);  // 00:00 CET
    // A calendar day is 23 hours across the change, and the fraction survives.
    EXPECT_DOUBLE_EQ(dateByAddingDays(afternoon, -1).timeIntervalSince1970(), 1711886400.0 + 0.25 - 23 * 3600);
    EXPECT_DOUBLE_EQ(dateByAddingDays(afternoon, 2).timeIntervalSince1970(), 1711886400.0 + 0.25 + 2 * 86400);
    // Out-of-range input gives an answer, not a crash.
    EXPECT_NO_THROW(startOfDay(unix(1e300)));
    EXPECT_NO_THROW(dateByAddingDays(unix(std::nan("")), 1));
    EXPECT_EQ(zepLogFormattedDateString(unix(1e300)), "");
}

// libc is the oracle: the log store, `date` and the archive-name stamp all
// follow it, whatever form TZ takes.
TEST(NSDateExtensions, LocalTextsAgreeWithLibcForEveryTimeZoneForm) {
    const std::optional<std::string> zones[] = {
        std::nullopt, "", "UTC0", "<+0530>-5:30", "CET-1CEST,M3.5.0,M10.5.0/3", ":Europe/Berlin",
        "America/St_Johns", "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1", "Pacific/Kiritimati", "no such zone",
    };
    const double instants[] = {1704067199.0, 1719792000.0 + 1800, 1711846800.0 + 60, -631152000.0, 4102444800.0 + 43200};
    for (const auto& zone : zones) {
        testsupport::ScopedEnv tz("TZ", zone);
        tzset();
        for (double seconds : instants) {
            const time_t t = static_cast<time_t>(seconds);
            tm local{};
            ASSERT_TRUE(localtime_r(&t, &local));
            char expected[64], day[16];
            strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S %z", &local);
            strftime(day, sizeof day, "%Y-%m-%d", &local);
            const std::string name = (zone ? "TZ=" + *zone : "TZ unset") + " at " + std::to_string(t);
            EXPECT_EQ(scanLogTimestamp(unix(seconds)), expected) << name;
            EXPECT_EQ(zepLogFormattedDateString(unix(seconds)), day) << name;
            EXPECT_EQ(localTimestamp(unix(seconds), "yyyy-MM-dd HH:mm:ss ZZ"), expected) << name;
            tm midnight = local;
            midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
            midnight.tm_isdst = -1;
            EXPECT_EQ(startOfDay(unix(seconds)).timeIntervalSince1970(), static_cast<double>(mktime(&midnight))) << name;
        }
    }
}

// Formatting local dates and computing local days from many threads at once.
// With TZ unset libc rereads the host's zone on every call and rewrites its
// zone state each time, while the other threads read it: every use of that
// state must be serialised (the thread sanitizer build checks this).
TEST(NSDateExtensions, LocalTextsFromManyThreads) {
    const NRVDate date = unix(kLeapDay);
    const std::optional<std::string> zones[] = {"<+0530>-5:30", std::nullopt};
    for (const auto& zone : zones) {
        testsupport::ScopedEnv tz("TZ", zone);
        const std::string text = scanLogTimestamp(date);
        const double midnight = startOfDay(date).timeIntervalSince1970();
        const double nextDay = dateByAddingDays(date, 1).timeIntervalSince1970();
        if (zone) {
            EXPECT_EQ(text, "2024-02-29 05:30:00 +0530");
            EXPECT_EQ(midnight, kLeapDay - 19800);  // 2024-02-28 18:30 UTC
            EXPECT_EQ(nextDay, kLeapDay + 86400);
        }
        std::vector<std::thread> threads;
        std::atomic<int> wrong{0};
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&, i] {
                for (int k = 0; k < 100; ++k) {
                    if (i % 2 == 0) {
                        if (scanLogTimestamp(date) != text) ++wrong;
                        if (!hasPassedMidnight(date)) ++wrong;
                    } else {
                        if (startOfDay(date).timeIntervalSince1970() != midnight) ++wrong;
                        if (dateByAddingDays(date, 1).timeIntervalSince1970() != nextDay) ++wrong;
                    }
                }
            });
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(wrong.load(), 0) << (zone ? *zone : "TZ unset");
    }
}

TEST(NSDateExtensions, FormatterAccessors) {
    testsupport::ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    const NRVDate summer = unix(1719792000.0 + 0.25);  // 2024-07-01 00:00:00.25 UTC
    struct Case {
        const char* name;
        NRVDateFormatter formatter;
        const char* pattern;
        const char* text;
    } cases[] = {
        {"scan log", scanLogDateFormatter(), "yyyy-MM-dd HH:mm:ss ZZ", "2024-07-01 02:00:00 +0200"},
        {"qrb log", qrbLogDateFormatter(), "yyyy'-'MM'-'dd' 'HH':'mm':'ss Z'", "2024-07-01 02:00:00 +0200"},
        {"audit", auditTimestampFormatter(), "yyyy-MM-dd HH:mm:ss.SSS", "2024-07-01 02:00:00.250"},
        {"rfc 3339", rfc3339DateFormatter(), "yyyy-MM-dd'T'HH:mm:ss.SSSSSSZZZZZ", "2024-07-01T00:00:00.250000Z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.formatter.dateFormat(), c.pattern) << c.name;
        EXPECT_EQ(c.formatter.stringFromDate(summer), c.text) << c.name;
    }
    EXPECT_EQ(rfc3339DateFormatter().locale(), "en_US_POSIX");
    // The shared two are made once.
    EXPECT_EQ(&auditTimestampFormatter(), &auditTimestampFormatter());
    EXPECT_EQ(&rfc3339DateFormatter(), &rfc3339DateFormatter());
    EXPECT_EQ(rfc3339DateFormatter().dateFromString("2024-07-01T00:00:00.250000Z"), summer);

    // One shared formatter used from many threads at once.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            const NRVDate date = unix(1719792000.0 + i);
            const std::string expected = "2024-07-01 02:00:0" + std::to_string(i) + ".000";
            for (int k = 0; k < 100; ++k)
                if (auditTimestampFormatter().stringFromDate(date) != expected) ++wrong;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}
