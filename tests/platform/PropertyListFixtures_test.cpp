// The reader against lists written by another writer (tests/fixtures/plist,
// made by make_fixtures.py with Python's plistlib), and our writer's dates
// read back through both forms.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/plist/PropertyList.h"

namespace {

const std::string kFixtures = std::string(NRV_FIXTURES_DIR) + "/plist/";

// Seconds since 2001-01-01 UTC.
constexpr double kJustBefore2001 = -0.5;
constexpr double kBefore1901 = -4752043200.0;   // 1850-06-01 12:00:00
constexpr double kAfter2069 = 2177452800.0;     // 2070-01-01, past 32-bit seconds
constexpr double kYear2200 = 6284932200.25;     // 2200-03-01 06:30:00.25

double dateOf(const NRVValue& list, const char* key) {
    const NRVValue* value = list[key];
    if (!value || !value->asDate()) return NAN;
    return value->asDate()->sinceReferenceDate;
}

TEST(PropertyListFixtures, DatesKeepSignFractionAndRange) {
    struct Case {
        const char* file;
        double justBefore2001;
        double year2200;
    };
    // XML dates hold whole seconds.
    const Case cases[] = {{"dates.bplist", kJustBefore2001, kYear2200}, {"dates.xml", -1.0, 6284932200.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const auto list = platform::plist::readFile(kFixtures + c.file);
        ASSERT_TRUE(list);
        EXPECT_EQ(dateOf(*list, "justBefore2001"), c.justBefore2001);
        EXPECT_EQ(dateOf(*list, "before1901"), kBefore1901);
        EXPECT_EQ(dateOf(*list, "after2069"), kAfter2069);
        EXPECT_EQ(dateOf(*list, "year2200"), c.year2200);
    }
}

TEST(PropertyListFixtures, ValuesKeysAndOrder) {
    for (const char* file : {"values.bplist", "values.xml"}) {
        SCOPED_TRACE(file);
        const auto list = platform::plist::readFile(kFixtures + file);
        ASSERT_TRUE(list && list->asDictionary());
        const NRVDictionary& d = *list->asDictionary();
        const std::vector<std::string> order = {"zeta", "alpha", "max", "real", "yes", "no", "bytes", "list", "nested"};
        EXPECT_EQ(d.keys(), order);
        EXPECT_EQ(*d.find("zeta"), NRVValue("Grüße, 東京 🙂"));
        EXPECT_EQ(*d.find("alpha"), NRVValue(static_cast<long long>(INT64_MIN)));
        EXPECT_EQ(*d.find("max"), NRVValue(static_cast<long long>(INT64_MAX)));
        EXPECT_EQ(*d.find("real"), NRVValue(-2.5));
        EXPECT_EQ(*d.find("yes"), NRVValue(true));
        EXPECT_EQ(*d.find("no"), NRVValue(false));
        EXPECT_EQ(*d.find("bytes"), NRVValue(NRVData{0x00, 0x01, 0xfe, 0xff}));
        EXPECT_EQ(*d.find("list"), NRVValue(NRVArray{1, "two", NRVArray{3.0}, NRVDictionary()}));
        const NRVDictionary* nested = d.find("nested")->asDictionary();
        ASSERT_TRUE(nested);
        EXPECT_EQ(nested->keys(), (std::vector<std::string>{"b", "a"}));
    }
}

TEST(PropertyListFixtures, WrittenDatesReadBackExactly) {
    for (double seconds : {kJustBefore2001, -1.25, kBefore1901 + 0.75, kAfter2069, kYear2200, 0.0}) {
        NRVDictionary d;
        d.set("date", NRVDate{seconds});
        const NRVValue value(d);
        auto binary = platform::plist::serialize(value, platform::plist::Format::Binary);
        ASSERT_TRUE(binary);
        auto back = platform::plist::readData(*binary);
        ASSERT_TRUE(back);
        EXPECT_EQ(dateOf(*back, "date"), seconds) << "binary";
        // XML keeps whole seconds, rounded down.
        auto xml = platform::plist::serialize(value, platform::plist::Format::XML);
        ASSERT_TRUE(xml);
        back = platform::plist::readData(*xml);
        ASSERT_TRUE(back);
        EXPECT_EQ(dateOf(*back, "date"), std::floor(seconds)) << "XML " << *xml;
    }
}

}  // namespace
