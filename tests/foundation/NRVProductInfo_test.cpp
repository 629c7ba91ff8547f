#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/NRVProductInfo.h"
#include "platform/plist/PropertyList.h"
#include "support/TestSupport.h"

namespace {

class NRVProductInfoTest : public ::testing::Test {
protected:
    void SetUp() override { NRVProductInfo::resetIsNerovaHomeTo(std::nullopt); }
    void TearDown() override { NRVProductInfo::resetIsNerovaHomeTo(std::nullopt); }

    void writeList(const std::string& productPath, NRVDictionary dict) {
        std::filesystem::create_directories(std::filesystem::path(root + productPath).parent_path());
        ASSERT_TRUE(platform::plist::writeFile(root + productPath, NRVValue(std::move(dict)), platform::plist::Format::Binary));
    }

    testsupport::TempDir tmp;
    std::string root = tmp / "root";
    testsupport::ScopedEnv rootEnv{"NRV_SYSTEM_ROOT", root};
};

NRVDictionary productInfo(const std::string& product) {
    NRVDictionary d;
    d.set("Product", product);
    return d;
}

}  // namespace

TEST_F(NRVProductInfoTest, HomeAnswerIsReadOnceAndKeptUntilReset) {
    EXPECT_FALSE(NRVProductInfo::isNerovaHome());
    writeList("/Library/Nerova Anti-Virus/product-info.plist", productInfo(NRVProductInfo::kHomeProductGUID));
    EXPECT_FALSE(NRVProductInfo::isNerovaHome()) << "the first answer is cached, also a no";
    NRVProductInfo::resetIsNerovaHomeTo(std::nullopt);
    EXPECT_TRUE(NRVProductInfo::isNerovaHome());
    EXPECT_TRUE(NRVProductInfoIsNerovaHome());
    NRVProductInfo::resetIsNerovaHomeTo(false);
    EXPECT_FALSE(NRVProductInfo::isNerovaHome());
}

TEST_F(NRVProductInfoTest, OnlyTheExactGUIDsCount) {
    struct Case {
        std::string product;
        bool home;
    } cases[] = {
        {NRVProductInfo::kHomeProductGUID, true},
        {std::string("{") + NRVProductInfo::kHomeProductGUID + "}", false},
        {"b2f4c6d8-1a3e-4b5c-8d7f-9e0a1b2c3d4e", false},
        {"", false},
    };
    for (const auto& c : cases) {
        writeList("/Library/Nerova Anti-Virus/product-info.plist", productInfo(c.product));
        NRVProductInfo::resetIsNerovaHomeTo(std::nullopt);
        EXPECT_EQ(NRVProductInfo::isNerovaHome(), c.home) << c.product;
    }

    NRVDictionary plw;
    plw.set("GUIDs", NRVArray{NRVValue("{00000000-0000-0000-0000-000000000000}"), NRVValue(NRVProductInfo::kHomeAutoUpdateGUID)});
    writeList("/Library/Nerova Anti-Virus/plw.plist", plw);
    EXPECT_TRUE(NRVProductInfo::isHomeEdition());
    plw.set("GUIDs", "not an array");
    writeList("/Library/Nerova Anti-Virus/plw.plist", plw);
    EXPECT_FALSE(NRVProductInfo::isHomeEdition()) << "read again on every call";
}
