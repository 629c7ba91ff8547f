#include "foundation-module/NWKFileManager.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

TEST(NWKFileManagerTest, MovesWithoutReplacing) {
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
