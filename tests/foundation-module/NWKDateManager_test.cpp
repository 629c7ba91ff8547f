#include "foundation-module/NWKDateManager.h"

#include <ctime>

#include <gtest/gtest.h>

namespace {

TEST(NWKDateManagerTest, OneManagerAnsweringTheCurrentTime) {
    EXPECT_EQ(&NWKDateManager::getDefaultManager(), &NWKDateManager::getDefaultManager());
    EXPECT_NEAR(NWKDateManager::getDefaultManager().date().timeIntervalSince1970(), static_cast<double>(std::time(nullptr)), 5);
}

}  // namespace
