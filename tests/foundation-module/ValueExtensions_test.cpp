#include "foundation-module/ValueExtensions.h"

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

TEST(ValueExtensionsTest, HexTexts) {
    const NRVData twoBytes{0xAB, 0xCD}, fiveBytes{1, 2, 3, 4, 0xFF}, empty;
    EXPECT_EQ(DataExtension::hexRepresentation(twoBytes), "<abcd>");
    EXPECT_EQ(DataExtension::hexRepresentation(fiveBytes), "<01020304 ff>");
    EXPECT_EQ(DataExtension::hexDescription(nullptr), "(null)");
    EXPECT_EQ(DataExtension::hexDescription(&empty), "<>");
}

TEST(ValueExtensionsTest, Weekdays) {
    using DateExtension::Weekday;
    EXPECT_EQ(DateExtension::getWeekdayFromString("FriDay"), Weekday::friday);
    EXPECT_EQ(static_cast<int>(Weekday::friday), 6);
    EXPECT_EQ(DateExtension::getWeekdayFromString("sunday"), Weekday::sunday);
    EXPECT_EQ(DateExtension::getWeekdayFromString("fri"), std::nullopt);
    EXPECT_EQ(DateExtension::weekdayFromRawValue(0), std::nullopt);
    EXPECT_EQ(DateExtension::weekdayFromRawValue(8), std::nullopt);
    EXPECT_EQ(DateExtension::weekdayFromRawValue(1), Weekday::sunday);
}

TEST(ValueExtensionsTest, ProcessIdentifierAndFiletime) {
    EXPECT_EQ(buildNerovaPID(42, 0, 999), "");
    EXPECT_EQ(buildNerovaPID(42, 1, 5), "42:116444736010000050");
    EXPECT_EQ(buildNerovaPID(42, INT64_MAX / 2, 0), "") << "a FILETIME past 64 bits";
    EXPECT_EQ(convertWin32FiletimeToUnix(WIN32_EPOCH_DIFFERENCE), (UnixTime{0, 0}));
    EXPECT_EQ(convertWin32FiletimeToUnix(WIN32_EPOCH_DIFFERENCE + 15), (UnixTime{0, 1}));
    EXPECT_EQ(convertWin32FiletimeToUnix(WIN32_EPOCH_DIFFERENCE + 25'000'000), (UnixTime{2, 500000}));
    EXPECT_EQ(convertWin32FiletimeToUnix(WIN32_EPOCH_DIFFERENCE - 1), std::nullopt) << "before 1970";
}

TEST(ValueExtensionsTest, SizeConversionsRefuseOverflow) {
    EXPECT_EQ(convertKBtoBytes(3), 3072);
    EXPECT_EQ(convertMBtoBytes(-2), -2097152);
    EXPECT_EQ(convertGBtoBytes(8589934591), 9223372035781033984);
    EXPECT_EQ(convertGBtoBytes(8589934592), std::nullopt);
    EXPECT_EQ(convertKBtoBytes(INT64_MIN), std::nullopt);
}

TEST(ValueExtensionsTest, PreviousWeekdayTime) {
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

TEST(ValueExtensionsTest, CalendarArithmeticAndComponents) {
    UTCZone utc;
    const NRVDate jan31 = NRVDate::fromUnix(1706659200);  // 2024-01-31 00:00 UTC
    auto feb = DateExtension::dateByAdding(jan31, 1, DateExtension::Component::month);
    ASSERT_TRUE(feb);
    EXPECT_DOUBLE_EQ(feb->timeIntervalSince1970(), 1709164800) << "kept within February (29th)";
    auto back = DateExtension::dateByAdding(jan31, -36, DateExtension::Component::hour);
    ASSERT_TRUE(back);
    EXPECT_DOUBLE_EQ(back->timeIntervalSince1970(), 1706659200 - 36 * 3600);
    EXPECT_EQ(DateExtension::dateByAdding(jan31, std::int64_t{1} << 40, DateExtension::Component::day), std::nullopt);

    EXPECT_EQ(DateFormatterExtension::getDateComponents("07:08:09", "HH:mm:ss"),
              (DateFormatterExtension::TimeComponents{7, 8, 9}));
    EXPECT_EQ(DateFormatterExtension::getDateComponents("7 o'clock", "HH:mm:ss"), std::nullopt);
    EXPECT_EQ(DateExtension::timestampUTCWithFormat(jan31, "yyyy-MM-dd HH:mm"), "2024-01-31 00:00");
}

TEST(ValueExtensionsTest, KeysStringsAndManagers) {
    std::unordered_map<std::string, int> numbers{{"a", 1}, {"b", 2}};
    auto upper = DictionaryExtension::mapKeys<std::string>(numbers, [](const std::string& k) { return k + k; });
    EXPECT_EQ(upper, (std::unordered_map<std::string, int>{{"aa", 1}, {"bb", 2}}));
    EXPECT_THROW(DictionaryExtension::mapKeys<int>(numbers, [](const std::string&) { return 0; }),
                 DictionaryExtension::DuplicateKeyError);

    EXPECT_EQ(StringExtension::content(""), std::nullopt);
    EXPECT_EQ(StringExtension::content("x"), "x");

    EXPECT_EQ(&NWKDateManager::getDefaultManager(), &NWKDateManager::getDefaultManager());
    EXPECT_NEAR(NWKDateManager::getDefaultManager().date().timeIntervalSince1970(), static_cast<double>(std::time(nullptr)), 5);

    testsupport::TempDir dir;
    testsupport::writeText(dir / "a", "1");
    testsupport::writeText(dir / "b", "2");
    auto& files = NWKFileManager::defaultManager();
    EXPECT_THROW(files.moveItem(dir / "a", dir / "b"), NRVError) << "an item at the destination is kept";
    EXPECT_EQ(testsupport::readText(dir / "b"), "2");
    files.moveItem(dir / "a", dir / "c");
    EXPECT_FALSE(files.fileExists(dir / "a"));
    EXPECT_TRUE(files.fileExists(dir / "c"));
}

}  // namespace
