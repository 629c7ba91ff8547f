#include "foundation-module/DateFormatterExtension.h"

#include <gtest/gtest.h>

namespace {

TEST(DateFormatterExtensionTest, TimeComponentsAsWritten) {
    EXPECT_EQ(DateFormatterExtension::getDateComponents("07:08:09", "HH:mm:ss"),
              (DateFormatterExtension::TimeComponents{7, 8, 9}));
    EXPECT_EQ(DateFormatterExtension::getDateComponents("7 o'clock", "HH:mm:ss"), std::nullopt);
}

}  // namespace
