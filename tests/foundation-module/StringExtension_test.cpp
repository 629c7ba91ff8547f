#include "foundation-module/StringExtension.h"

#include <gtest/gtest.h>

namespace {

TEST(StringExtensionTest, Content) {
    EXPECT_EQ(StringExtension::content(""), std::nullopt);
    EXPECT_EQ(StringExtension::content("x"), "x");
}

}  // namespace
