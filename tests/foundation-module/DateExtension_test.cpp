#include "foundation-module/DateExtension.h"

#include <ctime>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

class UTCZone {
public:
    UTCZone() : env_("TZ", "UTC") { tzset(); }
    ~UTCZone() { tzset(); }

private:
    testsupport::ScopedEnv env_;
};

TEST(DateExtensionTest, Weekdays) {
    using DateExtension::Weekday;
    EXPECT_EQ(DateExtension::getWeekdayFromString("FriDay"), Weekday::friday);
    EXPECT_EQ(static_cast<int>(Weekday::friday), 6);
    EXPECT_EQ(DateExtension::getWeekdayFromString("sunday"), Weekday::sunday);
    EXPECT_EQ(DateExtension::getWeekdayFromString("fri"), std::nullopt);
    EXPECT_EQ(DateExtension::weekdayFromRawValue(0), std::nullopt);
    EXPECT_EQ(DateExtension::weekdayFromRawValue(8), std::nullopt);
    EXPECT_EQ(DateExtension::weekdayFromRawValue(1), Weekday::sunday);
}

TEST(DateExtensionTest, PreviousWeekdayTime) {
    UTCZone utc;
    using DateExtension::Weekday;
    const NRVDate friday10 = NRVDate::fromUnix(1710496800);  // Friday 2024-03-15 10:00 UTC
    struct Case {
        Weekday day;
        int hour, minute;
        double expected;
    } cases[] = {
        {Weekday::friday, 9, 30, 1710496800 - 1800},         // earlier the same day
        {Weekday::friday, 10, 0, 1710496800 - 7 * 86400},    // the reference itself is not before it
        {Weekday::friday, 11, 0, 1710500400 - 7 * 86400},    // later today: last week
        {Weekday::monday, 0, 0, 1710115200},                 // 2024-03-11
        {Weekday::saturday, 23, 59, 1710028740},             // 2024-03-09 23:59
    };
    for (const auto& c : cases) {
        auto date = DateExtension::dateMatchingPrevious(c.day, c.hour, c.minute, friday10);
        ASSERT_TRUE(date) << c.hour << ":" << c.minute;
        EXPECT_DOUBLE_EQ(date->timeIntervalSince1970(), c.expected) << static_cast<int>(c.day) << " " << c.hour;
    }
    EXPECT_EQ(DateExtension::dateMatchingPrevious(Weekday::friday, 24, 0, friday10), std::nullopt);
}

TEST(DateExtensionTest, CalendarArithmeticAndUTCTexts) {
    UTCZone utc;
    const NRVDate jan31 = NRVDate::fromUnix(1706659200);  // 2024-01-31 00:00 UTC
    auto feb = DateExtension::dateByAdding(jan31, 1, DateExtension::Component::month);
    ASSERT_TRUE(feb);
    EXPECT_DOUBLE_EQ(feb->timeIntervalSince1970(), 1709164800) << "kept within February (29th)";
    auto back = DateExtension::dateByAdding(jan31, -36, DateExtension::Component::hour);
    ASSERT_TRUE(back);
    EXPECT_DOUBLE_EQ(back->timeIntervalSince1970(), 1706659200 - 36 * 3600);
    EXPECT_EQ(DateExtension::dateByAdding(jan31, std::int64_t{1} << 40, DateExtension::Component::day), std::nullopt);

    EXPECT_EQ(DateExtension::timestampUTCWithFormat(jan31, "yyyy-MM-dd HH:mm"), "2024-01-31 00:00");
}

}  // namespace
