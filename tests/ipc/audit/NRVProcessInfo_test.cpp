#include "ipc/audit/NRVProcessInfo.h"

#include <gtest/gtest.h>

namespace {

TEST(NRVProcessInfoTest, OnlyPidSetReportsTheThreeNumbers) {
    NRVProcessInfo info;
    info.pid = 77;
    EXPECT_EQ(info.description(), "{pid : 77, ppid : 0, uid : 0}");
}

TEST(NRVProcessInfoTest, KeyedFormKeepsAllEightValuesAndTheSigningRecord) {
    NRVProcessInfo info;
    info.path = "/opt/nerova/bin/agent";
    info.pid = 100;
    info.ppid = 1;
    info.uid = 501;
    info.posixUserName = "ann";
    NRVFileSigningInfo signing;
    signing.isValid = true;
    signing.signType = NRVSignTypeNerova;
    signing.path = "/opt/nerova/bin/agent";
    signing.authorities = {"Nerova Code Signing"};
    info.fileSignInfo = signing;
    info.appKey = "app";
    info.catKey = "cat";

    NRVDictionary coder;
    info.encodeWithCoder(coder);
    NRVProcessInfo back = NRVProcessInfo::initWithCoder(coder);
    EXPECT_EQ(back.path, info.path);
    EXPECT_EQ(back.pid, 100u);
    EXPECT_EQ(back.ppid, 1u);
    EXPECT_EQ(back.uid, 501u);
    EXPECT_EQ(back.posixUserName, "ann");
    ASSERT_TRUE(back.fileSignInfo);
    EXPECT_TRUE(back.fileSignInfo->signedByNerova());
    EXPECT_EQ(back.fileSignInfo->path, "/opt/nerova/bin/agent");
    EXPECT_EQ(back.fileSignInfo->authorities, signing.authorities);
    EXPECT_EQ(back.appKey, "app");
    EXPECT_EQ(back.catKey, "cat");
    EXPECT_EQ(back.dictionaryForReport(), info.dictionaryForReport());
    EXPECT_EQ(info.dictionaryForReport().keys(),
              (std::vector<std::string>{"path", "pid", "ppid", "uid", "posixUserName", "fileSignInfo", "appKey",
                                        "catKey"}));
}

TEST(NRVProcessInfoTest, MistypedValuesAreNotTaken) {
    NRVDictionary coder;
    coder.set("path", 5);
    coder.set("pid", "5");
    coder.set("ppid", 1.5);
    coder.set("uid", NRVArray{});
    coder.set("posixUserName", true);
    coder.set("fileSignInfo", "signed");
    coder.set("appKey", NRVDictionary{});
    coder.set("catKey", NRVData{1});
    NRVProcessInfo back = NRVProcessInfo::initWithCoder(coder);
    EXPECT_EQ(back.description(), "{pid : 0, ppid : 0, uid : 0}");
}

}  // namespace
