#include "platform/plist/PropertyList.h"

#include <gtest/gtest.h>

// A binary list whose dictionary key holds a NUL character made the parser
// end the process; it is refused as malformed instead.
TEST(PropertyListTest, BinaryListWithNulInAKeyIsRefused) {
    std::string list = "bplist00";
    list += "\xD1\x01\x02";                     // { key: value }
    list += std::string("\x53" "a\0b", 4);      // "a\0b"
    list += "\x10\x01";                         // 1
    list += std::string("\x08\x0b\x0f", 3);     // offsets
    std::string trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = 3;
    trailer[31] = 17;
    list += trailer;
    std::string error;
    EXPECT_FALSE(platform::plist::readData(list, &error));
    EXPECT_FALSE(error.empty());

    list[13] = 'c';  // the same list with a plain key reads
    auto value = platform::plist::readData(list, &error);
    ASSERT_TRUE(value) << error;
    EXPECT_EQ(*value->asDictionary()->find("acb"), NRVValue(1));
}

// Dates before the reference date keep their fraction, and written and read
// again any number of times they stay within their microsecond.
TEST(PropertyListTest, DatesSurviveRepeatedRoundTrips) {
    for (double t : {-28671.9375, -1.25, 2.75, 1234.0000009, -5000.4999996}) {
        NRVValue value(NRVArray{NRVValue(NRVDate{t})});
        for (int round = 0; round < 3; ++round) {
            auto bytes = platform::plist::serialize(value, platform::plist::Format::Binary);
            ASSERT_TRUE(bytes);
            auto back = platform::plist::readData(*bytes);
            ASSERT_TRUE(back);
            value = *back;
        }
        EXPECT_NEAR((*value.asArray())[0].asDate()->sinceReferenceDate, t, 1e-6) << t;
    }
}
