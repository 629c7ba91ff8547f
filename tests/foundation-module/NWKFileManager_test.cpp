#include "foundation-module/NWKFileManager.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

TEST(NWKFileManagerTest, MovesWithoutReplacing) {
    testsupport::TempDir dir;
    testsupport::writeText(dir / "a", "1");
    testsupport::writeText(dir / "b", "2");
    auto& files = NWKFileManager::defaultManager();
    NRVError error;
    EXPECT_FALSE(files.moveItem(dir / "a", dir / "b", &error)) << "an item at the destination is kept";
    EXPECT_EQ(error.domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_EQ(testsupport::readText(dir / "b"), "2");
    EXPECT_TRUE(files.moveItem(dir / "a", dir / "c"));
    EXPECT_FALSE(files.fileExists(dir / "a"));
    EXPECT_TRUE(files.fileExists(dir / "c"));
}

}  // namespace
