#include "foundation-module/SizeConversions.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace {

TEST(SizeConversionsTest, RefuseOverflow) {
    EXPECT_EQ(convertKBtoBytes(3), 3072);
    EXPECT_EQ(convertMBtoBytes(-2), -2097152);
    EXPECT_EQ(convertGBtoBytes(8589934591), 9223372035781033984);
    EXPECT_EQ(convertGBtoBytes(8589934592), std::nullopt);
    EXPECT_EQ(convertKBtoBytes(INT64_MIN), std::nullopt);
}

}  // namespace
