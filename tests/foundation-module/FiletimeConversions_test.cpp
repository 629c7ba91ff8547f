#include "foundation-module/FiletimeConversions.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace {

TEST(FiletimeConversionsTest, ProcessIdentifierAndFiletime) {
    EXPECT_EQ(buildNerovaPID(42, 0, 999), "");
    EXPECT_EQ(buildNerovaPID(42, 1, 5), "42:116444736010000050");
    EXPECT_EQ(buildNerovaPID(42, INT64_MAX / 2, 0), "") << "a FILETIME past 64 bits";
    EXPECT_EQ(convertWin32FiletimeToUnix(WIN32_EPOCH_DIFFERENCE), (UnixTime{0, 0}));
    EXPECT_EQ(convertWin32FiletimeToUnix(WIN32_EPOCH_DIFFERENCE + 15), (UnixTime{0, 1}));
    EXPECT_EQ(convertWin32FiletimeToUnix(WIN32_EPOCH_DIFFERENCE + 25'000'000), (UnixTime{2, 500000}));
    EXPECT_EQ(convertWin32FiletimeToUnix(WIN32_EPOCH_DIFFERENCE - 1), std::nullopt) << "before 1970";
}

}  // namespace
