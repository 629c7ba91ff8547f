#include "foundation-module/DataExtension.h"

#include <gtest/gtest.h>

namespace {

TEST(DataExtensionTest, HexTexts) {
    const NRVData twoBytes{0xAB, 0xCD}, fiveBytes{1, 2, 3, 4, 0xFF}, empty;
    EXPECT_EQ(DataExtension::hexRepresentation(twoBytes), "<abcd>");
    EXPECT_EQ(DataExtension::hexRepresentation(fiveBytes), "<01020304 ff>");
    EXPECT_EQ(DataExtension::hexDescription(nullptr), "(null)");
    EXPECT_EQ(DataExtension::hexDescription(&empty), "<>");
}

}  // namespace
