#include "ipc/trust/NRVFileSigningInfo.h"

#include <gtest/gtest.h>

#include "ipc/trust/NRVProcessSigningInfo.h"
#include "platform/plist/PropertyList.h"

namespace {

NRVFileSigningInfo sampleFileRecord() {
    NRVFileSigningInfo info;
    info.isValid = true;
    info.lastStatusCode = -67062;
    info.lastError = "code object is not signed at all";
    info.signType = NRVSignTypeNerovaAlternate;
    info.calculationTime = 0.25;
    info.path = "/opt/nerova/bin/agent";
    info.teamIdentifier = "TEAM123456";
    info.identifier = "com.nerova.agent";
    info.authorities = {"Nerova Code Signing", "Nerova Root CA"};
    info.designatedRequirement = "identifier \"com.nerova.agent\"";
    info.fileSize = 123456789;
    info.fsid = 0xFFFFFFFFFFFFFFFFull;  // past the signed range: must still come back
    info.inode = 42;
    info.codeSignOptions = 1;
    info.sha1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    info.fileModTimeSec = 1700000000;
    info.fileModTimeNsec = 999999999;
    return info;
}

void expectSameFileRecord(const NRVFileSigningInfo& a, const NRVFileSigningInfo& b) {
    EXPECT_EQ(a.isValid, b.isValid);
    EXPECT_EQ(a.lastStatusCode, b.lastStatusCode);
    EXPECT_EQ(a.lastError, b.lastError);
    EXPECT_EQ(a.signType, b.signType);
    EXPECT_DOUBLE_EQ(a.calculationTime, b.calculationTime);
    EXPECT_EQ(a.path, b.path);
    EXPECT_EQ(a.teamIdentifier, b.teamIdentifier);
    EXPECT_EQ(a.identifier, b.identifier);
    EXPECT_EQ(a.authorities, b.authorities);
    EXPECT_EQ(a.designatedRequirement, b.designatedRequirement);
    EXPECT_EQ(a.fileSize, b.fileSize);
    EXPECT_EQ(a.fsid, b.fsid);
    EXPECT_EQ(a.inode, b.inode);
    EXPECT_EQ(a.codeSignOptions, b.codeSignOptions);
    EXPECT_EQ(a.sha1, b.sha1);
    EXPECT_EQ(a.fileModTimeSec, b.fileModTimeSec);
    EXPECT_EQ(a.fileModTimeNsec, b.fileModTimeNsec);
}

TEST(NRVSigningInfoTest, SignerKindsNamesAndValidity) {
    struct Case {
        std::int64_t signType;
        bool valid;
        const char* name;
        bool nerova, apple, developer;
    } cases[] = {
        {0, true, "Not Signed", false, false, false},
        {1, true, "Not Available", false, false, false},
        {2, true, "Nerova", true, false, false},
        {3, true, "Nerova", true, false, false},
        {4, true, "Apple", false, true, false},
        {5, true, "Apple Developer", false, false, true},
        {6, true, "Adhoc", false, false, false},
        {7, true, "Other", false, false, false},
        {8, true, "Unknown", false, false, false},
        {9, true, "Unknown", false, false, false},
        {-1, true, "Unknown", false, false, false},
        // An invalid check is signed by nobody, whatever its kind.
        {3, false, "Nerova", false, false, false},
        {4, false, "Apple", false, false, false},
        {5, false, "Apple Developer", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "signType " << c.signType << " valid " << c.valid);
        NRVSigningInfo info;
        info.signType = c.signType;
        info.isValid = c.valid;
        EXPECT_EQ(info.signTypeName(), c.name);
        EXPECT_EQ(info.signedByNerova(), c.nerova);
        EXPECT_EQ(info.signedByApple(), c.apple);
        EXPECT_EQ(info.signedByAppleDeveloper(), c.developer);
    }
}

TEST(NRVSigningInfoTest, ReportKeysInOrderAndNilErrorLeftOut) {
    NRVSigningInfo info;
    info.isValid = true;
    info.signType = 2;
    EXPECT_EQ(info.description(),
              "{lastStatusCode : 0, signType : 2, valid : 1, signedByNerova : 1, signedByApple : 0, "
              "calculationTime : 0}");
    info.lastError = "broken";
    const NRVDictionary report = info.dictionaryForReport();
    ASSERT_NE(report.find("lastError"), nullptr);
    EXPECT_EQ(report.keys(), (std::vector<std::string>{"lastStatusCode", "lastError", "signType", "valid",
                                                       "signedByNerova", "signedByApple", "calculationTime"}));
}

TEST(NRVFileSigningInfoTest, BothCodedFormsRestoreEveryField) {
    const NRVFileSigningInfo original = sampleFileRecord();
    std::optional<std::string> data = original.serialize();
    ASSERT_TRUE(data);
    EXPECT_EQ(data->rfind("bplist00", 0), 0u);
    expectSameFileRecord(NRVFileSigningInfo::initWithSerializedData(*data), original);

    NRVDictionary coder;
    original.encodeWithCoder(coder);
    EXPECT_EQ(coder.find("signedByNerova"), nullptr);  // derived, not coded
    expectSameFileRecord(NRVFileSigningInfo::initWithCoder(coder), original);
}

TEST(NRVFileSigningInfoTest, ForeignOrMistypedDataLeavesFreshValues) {
    const NRVFileSigningInfo fresh;
    for (const std::string& data : {std::string(), std::string("not a property list"), std::string("bplist00\x01"),
                                    *platform::plist::serialize(NRVValue(NRVArray{1, 2}), platform::plist::Format::Binary)}) {
        SCOPED_TRACE(data);
        expectSameFileRecord(NRVFileSigningInfo::initWithSerializedData(data), fresh);
    }

    // Every field holding a value of another type.
    NRVDictionary wrong;
    for (const char* key : {"lastStatusCode", "signType", "fsid", "inode", "codeSignOptions", "fileSize",
                            "fileModTimeSec", "fileModTimeNsec", "calculationTime"})
        wrong.set(key, "12");
    for (const char* key : {"lastError", "path", "teamIdentifier", "identifier", "designatedRequirement", "sha1"})
        wrong.set(key, 12);
    wrong.set("valid", 1);
    wrong.set("authorities", NRVArray{"fine", 3});
    expectSameFileRecord(NRVFileSigningInfo::initWithCoder(wrong), fresh);
    auto data = platform::plist::serialize(NRVValue(wrong), platform::plist::Format::Binary);
    ASSERT_TRUE(data);
    expectSameFileRecord(NRVFileSigningInfo::initWithSerializedData(*data), fresh);
}

TEST(NRVFileSigningInfoTest, SystemPathsAndProcesses) {
    struct Case {
        const char* path;
        bool systemPath;
    } cases[] = {
        {"/System/Library/CoreServices/launchd", true},
        {"/system/library/CoreServices/launchd", true},  // the prefix ignores case
        {"/System/Library/", true},
        {"/System/Libraryx/a", false},
        {"/usr/sbin/mDNSResponder", true},
        {"/usr/sbin/mdnsresponder", false},  // the exact path does not
        {"/usr/sbin/mDNSResponder2", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        NRVFileSigningInfo info;
        info.path = c.path;
        info.isValid = true;
        info.signType = NRVSignTypeApple;
        EXPECT_EQ(info.isSystemPath(), c.systemPath);
        EXPECT_EQ(info.isSystemProcess(), c.systemPath);
        info.signType = NRVSignTypeNerova;
        EXPECT_FALSE(info.isSystemProcess());
    }
}

TEST(NRVProcessSigningInfoTest, PidTravelsInBothFormsAndReport) {
    NRVProcessSigningInfo info;
    info.isValid = true;
    info.signType = 5;
    info.pid = 4242;
    EXPECT_EQ(info.description(),
              "{lastStatusCode : 0, signType : 5, valid : 1, signedByNerova : 0, signedByApple : 0, "
              "calculationTime : 0, pid : 4242}");
    auto data = info.serialize();
    ASSERT_TRUE(data);
    NRVProcessSigningInfo back = NRVProcessSigningInfo::initWithSerializedData(*data);
    EXPECT_EQ(back.pid, 4242u);
    EXPECT_TRUE(back.signedByAppleDeveloper());
    NRVDictionary coder;
    info.encodeWithCoder(coder);
    EXPECT_EQ(NRVProcessSigningInfo::initWithCoder(coder).pid, 4242u);
    coder.set("pid", "4242");
    EXPECT_EQ(NRVProcessSigningInfo::initWithCoder(coder).pid, 0u);
}

}  // namespace
