#include "foundation/NSNumberExtensions.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace NSNumberExtensions;

TEST(NSNumberExtensions, Booleans) {
    EXPECT_EQ(booleanTrue(), NRVValue(true));
    EXPECT_EQ(booleanFalse(), NRVValue(false));
    struct Case {
        std::optional<std::string_view> text;
        bool expected;
    } cases[] = {{"YES", true}, {"1", true}, {"On", true}, {"TRUE", true}, {"false", false},
                 {"no", false}, {"maybe", false}, {" ", false}, {std::nullopt, false}};
    for (const auto& c : cases) EXPECT_EQ(booleanForStringValue(c.text), NRVValue(c.expected)) << c.text.value_or("nil");
}

TEST(NSNumberExtensions, ValueOrZero) {
    const NRVValue seven(7);
    EXPECT_EQ(valueOrZeroNumber(&seven), seven);
    EXPECT_EQ(valueOrZeroNumber(nullptr), NRVValue(0));
}

TEST(NSNumberExtensions, HexText) {
    struct Case {
        const char* name;
        std::optional<std::string_view> text;
        std::int64_t expected;
    } cases[] = {
        {"plain", "ff", 255},
        {"prefix", "0x1A", 26},
        {"upper prefix and blanks", "  0XdeadBEEF", 0xDEADBEEF},
        {"stops at a non-digit", "12zz", 0x12},
        {"nothing readable", "zz", 0},
        {"prefix alone reads the 0", "0x", 0},
        {"too large saturates", "123456789abcdef", 0xFFFFFFFF},
        {"nil", std::nullopt, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(convertHexStringToNumber(c.text), NRVValue(c.expected)) << c.name;
}

TEST(NSNumberExtensions, BinaryText) {
    struct Case {
        const char* name;
        NRVValue number;
        const char* expected;
    } cases[] = {
        {"zero", 0, ""},
        {"five", 5, "101"},
        {"six", 6, "110"},
        {"true", true, "1"},
        {"real", 6.9, "110"},
        {"minus one is all ones", -1, "1111111111111111111111111111111111111111111111111111111111111111"},
        {"huge real clamps", 1e300, "1111111111111111111111111111111111111111111111111111111111111111"},
        {"nan", std::nan(""), ""},
        {"not a number", "5", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(binaryString(c.number), c.expected) << c.name;
}
