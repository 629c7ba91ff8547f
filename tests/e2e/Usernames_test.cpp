// config/keychain/usernames.txt from the settings service: whole command-line
// collections against the fake settings service, and without any service.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>

#include "fakes/FakeServiceFixture.h"
#include "support/TestSupport.h"

namespace fsys = std::filesystem;
using testsupport::readText;

namespace {

const std::string kProgram = std::string(NRV_BIN_DIR) + "/Nerova Diagnostic Utility";

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class UsernamesRun : public FakeServiceFixture {
protected:
    void SetUp() override {
        FakeServiceFixture::SetUp();
        testsupport::copySampleTree(root);
        fsys::create_directories(home);
        fsys::create_directories(temporary);
        fsys::create_directories(output);
    }

    // Runs a collection; the archive's path, or "" (and a failure).
    std::string collect() {
        const auto start = std::chrono::steady_clock::now();
        auto result =
            testsupport::runCollectionProgram(kProgram, {"--cli", "--output_path", output}, {root, home, temporary, store});
        took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(result.status, 0) << result.err;
        for (const auto& entry : fsys::directory_iterator(output)) {
            name = entry.path().stem().string();
            return entry.path().string();
        }
        ADD_FAILURE() << "no archive";
        return "";
    }
    std::string member(const std::string& zip, const std::string& path) {
        return testsupport::archiveMemberText(zip, name + "/" + path);
    }
    bool hasMember(const std::string& zip, const std::string& path) {
        const auto members = testsupport::archiveMembers(zip);
        return std::find(members.begin(), members.end(), name + "/" + path) != members.end();
    }
    std::string collectionLog() { return readText(temporary + "/Nerova Diagnostic Utility.log"); }

    testsupport::TempDir tmp;
    std::string root = tmp / "root";
    std::string home = tmp / "home";
    std::string temporary = tmp / "tmp";
    std::string output = tmp / "out";
    std::string store = tmp / "unified.log";
    std::string name;
    std::chrono::steady_clock::duration took{};
};

}  // namespace

// The endpoint identifier, then the account names in their fixed order; the
// one that does not decipher (a plain text, too short for the units its
// leading bytes claim) is left out and named in the diagnostics log only.
TEST_F(UsernamesRun, ListsTheStoredNamesInOrder) {
    ASSERT_GT(startRole("broker"), 0);
    ASSERT_GT(startRole("settings", {"--set=1:NRVMcsEndpointUUID=4F1C2A77-0B9E-4D4B-9A51-77E0C2D1A001",
                                     "--set-enciphered=2:SecondaryServerProxyUserName=proxy-dora",
                                     "--set-enciphered=2:PrimaryServerUserName=alice@example.test",
                                     "--set=2:PrimaryServerProxyUserName=\xC3\xA9t\xC3\xA9",
                                     "--set-enciphered=2:SecondaryServerUserName=M\xC3\xBCller"}),
              0);
    const std::string zip = collect();
    ASSERT_FALSE(zip.empty());
    EXPECT_EQ(member(zip, "config/keychain/usernames.txt"),
              "4F1C2A77-0B9E-4D4B-9A51-77E0C2D1A001\nalice@example.test\nM\xC3\xBCller\nproxy-dora");
    const std::string log = collectionLog();
    EXPECT_NE(log.find("Success: Generated usernames.txt\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("is nil"), std::string::npos);
    const std::string diagnostics = readText(store);
    EXPECT_EQ(count(diagnostics, "\tdiagnostics\tDefault\tzep : PrimaryServerProxyUserName is nil\n"), 1u);
    EXPECT_EQ(count(diagnostics, " is nil\n"), 1u) << diagnostics;
}

// No service at all (no broker socket): no usernames.txt, the warning in the
// collection log, five "is nil" lines in the diagnostics log only, and no
// wait for a connection.
TEST_F(UsernamesRun, WithoutServiceWarnsAndWritesNoFile) {
    const std::string zip = collect();
    ASSERT_FALSE(zip.empty());
    EXPECT_TRUE(hasMember(zip, "config/keychain/NerovaSecure.keychain"));
    EXPECT_FALSE(hasMember(zip, "config/keychain/usernames.txt"));
    const std::string log = collectionLog();
    EXPECT_NE(log.find("Warning: No usernames stored in the Keychain\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("is nil"), std::string::npos);
    const std::string diagnostics = readText(store);
    for (const char* key : {"NRVMcsEndpointUUID", "PrimaryServerUserName", "PrimaryServerProxyUserName",
                            "SecondaryServerUserName", "SecondaryServerProxyUserName"})
        EXPECT_EQ(count(diagnostics, std::string("\tdiagnostics\tDefault\tzep : ") + key + " is nil\n"), 1u) << key;
    // The usernames step is one of the last: the 3-second connection wait
    // would show between the QRB-type line's record and the step's last
    // "is nil" record. (The warning itself is a debug record, which the
    // store does not keep.)
    const std::regex stamped("(\\d+\\.\\d+)\t[^\n]*(Success: Generated QRB-type\\.txt|zep : SecondaryServerProxyUserName is nil)\n");
    std::vector<double> times;
    for (std::sregex_iterator it(diagnostics.begin(), diagnostics.end(), stamped), end; it != end; ++it)
        times.push_back(std::stod((*it)[1]));
    ASSERT_EQ(times.size(), 2u) << diagnostics.substr(0, 400);
    EXPECT_LT(times[1] - times[0], 1.0);
}
