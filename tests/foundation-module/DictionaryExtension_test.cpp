#include "foundation-module/DictionaryExtension.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(DictionaryExtensionTest, MapKeysRefusesToLoseAValue) {
    std::unordered_map<std::string, int> numbers{{"a", 1}, {"b", 2}};
    auto upper = DictionaryExtension::mapKeys<std::string>(numbers, [](const std::string& k) { return k + k; });
    EXPECT_EQ(upper, (std::unordered_map<std::string, int>{{"aa", 1}, {"bb", 2}}));
    EXPECT_THROW(DictionaryExtension::mapKeys<int>(numbers, [](const std::string&) { return 0; }),
                 DictionaryExtension::DuplicateKeyError);
}

}  // namespace
