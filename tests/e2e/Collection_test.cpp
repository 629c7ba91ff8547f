// Whole collections: the built program run as a process on a copy of the
// sample product tree, and the driver run in-process where a failure must
// be forced. The archive is read back with unzip.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

#include "collector/StatusLogger.h"
#include "collector/ZEP.h"
#include "foundation/NRVProductInfo.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/log/LogStore.h"
#include "platform/system/SystemEnvironment.h"
#include "support/TestSupport.h"

namespace fsys = std::filesystem;
using testsupport::exists;
using testsupport::lines;
using testsupport::readText;
using testsupport::writeText;

namespace {

const std::string kProgram = std::string(NRV_BIN_DIR) + "/Nerova Diagnostic Utility";
const std::string kSampleRoot = std::string(NRV_FIXTURES_DIR) + "/sample-root";

std::vector<std::string> archiveMembers(const std::string& zip) {
    auto result = testsupport::runProgram({"/usr/bin/unzip", "-Z1", zip});
    auto members = lines(result.out);
    std::sort(members.begin(), members.end());
    return members;
}

std::string memberText(const std::string& zip, const std::string& member) {
    return testsupport::runProgram({"/usr/bin/unzip", "-p", zip, member}).out;
}

// A private copy of the sample tree with the awkward inputs added, a home
// folder of its own and a temporary folder of its own.
class CollectionRun : public ::testing::Test {
protected:
    void SetUp() override {
        fsys::copy(kSampleRoot, root, fsys::copy_options::recursive | fsys::copy_options::copy_symlinks);
        fsys::create_directories(home);
        fsys::create_directories(temporary);
        fsys::create_directories(output);
        // A crash report of the same name in the user's folder, other content.
        writeText(home + "/Library/Logs/DiagnosticReports/NerovaDaemon_2026-12-01-101010_sample-mac.crash", "user copy\n");
        // A named source that is a link leading out of the tree.
        writeText(tmp / "outside/MRInit.conf", "outside\n");
        fsys::create_symlink(tmp / "outside/MRInit.conf", root + "/Library/Nerova Anti-Virus/RMS/MRInit.conf");
        // Names with blanks, colons, non-ASCII and a line feed inside a copied folder.
        writeText(root + "/Library/Logs/NerovaMessageRouter/relay: eu-1 \xC3\xA9t\xC3\xA9.log", "relay\n");
        writeText(root + "/Library/Logs/NerovaMessageRouter/two\nlines.log", "lf\n");
        fsys::create_directories(root + "/Library/Logs/NerovaManagementAgent/empty");
    }

    testsupport::ProgramResult run(const std::vector<std::string>& extraArgs) {
        std::vector<std::string> argv = {kProgram};
        argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
        return testsupport::runProgram(argv, {{"NRV_SYSTEM_ROOT", root},
                                              {"HOME", home},
                                              {"TMPDIR", temporary},
                                              {"NRV_LOG_STORE", tmp / "unified.log"},
                                              {"TZ", "UTC"}});
    }

    testsupport::TempDir tmp;
    std::string root = tmp / "root";
    std::string home = tmp / "home";
    std::string temporary = tmp / "tmp";
    std::string output = tmp / "out with blank";
};

}  // namespace

TEST_F(CollectionRun, CommandLineRunLeavesACompleteArchive) {
    auto result = run({"--cli", "--output_path", output});
    ASSERT_EQ(result.status, 0) << result.err;

    // The archive: one per run, named host part, stamp and "_ZEP".
    std::vector<std::string> zips;
    for (const auto& entry : fsys::directory_iterator(output)) zips.push_back(entry.path().filename().string());
    ASSERT_EQ(zips.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(zips[0], m, std::regex("(.*_\\d{8}_\\d{6}_ZEP)\\.zip"))) << zips[0];
    const std::string name = m[1];
    const std::string zip = output + "/" + zips[0];

    // Terminal: first and last lines, and every status line in between as in the log.
    const auto out = lines(result.out);
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out.front(), "Running ZEP Collection in command line mode.");
    EXPECT_EQ(out.back(), "ZEP command line completed. Archive created at " + zip);
    const std::string log = readText(temporary + "/Nerova Diagnostic Utility.log");
    EXPECT_EQ(result.out, "Running ZEP Collection in command line mode.\n" + log +
                              "ZEP command line completed. Archive created at " + zip + "\n");
    EXPECT_TRUE(std::regex_search(log, std::regex("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000 Begin collection\\.\\.\\. \n\n"
                                                  "Success: Generated Nerova Diagnostic Utility\\.log\n\n")));

    const auto members = archiveMembers(zip);
    const std::set<std::string> present(members.begin(), members.end());
    for (const std::string& member : members) {
        EXPECT_EQ(member.rfind(name + "/", 0), 0u) << "one top folder: " << member;
        EXPECT_EQ(member.find("/."), std::string::npos) << "no hidden files: " << member;
    }
    const std::vector<std::string> expected = {
        "QRB-type.txt",
        "Nerova Diagnostic Utility.log",
        "Nerova Wellcheck.log",
        "system/sysinfo.spx",
        "system/psaux.txt",
        "system/hosts",
        "system/install.log",
        "system/system.log.0.gz",
        "hzt/diskutil_list_out",
        "rakelinfo.txt",
        "qrb/listing.txt",
        "qrb/frameworks.txt",
        "qrb/product-info.plist",
        "xdr/listing.txt",
        "encryption/listing.txt",
        "encryption/logs/KPJSubprocesses.log.1",
        "config/qrb/receiptConfiguration.plist",
        "config/mcs/configuration.plist",
        "DiagnosticReports/NerovaDaemon_2026-12-01-101010_sample-mac.crash",
        "DiagnosticReports/" + platform::userName() + "-NerovaDaemon_2026-12-01-101010_sample-mac.crash",
        "NerovaDiagnostics/NerovaDiagnostics.2026-12-08.gz",
        "NerovaDiagnostics/NerovaDiagnostics.2026-12-09.gz",
        "NerovaDiagnostics/NerovaDiagnostics.2026-12-09.recovered.gz",
        "qrb/system_scan_logs/FullScan 2026-12-08 091201.log",
        "rms/NerovaManagementAgent/archive/NerovaManagementAgent.1.log",
        "rms/NerovaMessageRouter/NerovaMessageRouter.log",
        "rms/NerovaMessageRouter/relay- eu-1 \xC3\xA9t\xC3\xA9.log",
        "xdr/scheduled-query-pack/pack.conf",
    };
    for (const std::string& member : expected) EXPECT_TRUE(present.count(name + "/" + member)) << member;
    EXPECT_FALSE(present.count(name + "/config/rms/MRInit.conf"));
    EXPECT_FALSE(present.count(name + "/encryption/dorvctl-zep.txt"));
    EXPECT_EQ(memberText(zip, name + "/QRB-type.txt"), "Endpoint");
    EXPECT_EQ(memberText(zip, name + "/DiagnosticReports/" + platform::userName() +
                                  "-NerovaDaemon_2026-12-01-101010_sample-mac.crash"),
              "user copy\n");

    // The copy inside the archive is the log up to the copy itself.
    const std::string copied = memberText(zip, name + "/Nerova Diagnostic Utility.log");
    EXPECT_EQ(log.rfind(copied, 0), 0u);
    EXPECT_EQ(log.substr(copied.size()), "Success: Collected Nerova Diagnostic Utility.log\n"
                                         "Success: Generated output of zip command to " + name + ".zip\n");

    for (const std::string& line : {
             std::string("Failure: Unexpectedly found symlink for MRInit.conf. Skipping file..."),
             std::string("Warning: /usr/local/bin/dorvctl command path does not exist"),
             std::string("Warning: NerovaManagementAgent Logs directory is empty"),
             std::string("Warning: NerovaDiagnostics.2026-12-09.gz has not been archived properly."),
             std::string("Attempting to recover NerovaDiagnostics.2026-12-09.gz..."),
             std::string("Success: Recovered NerovaDiagnostics.2026-12-09.gz as NerovaDiagnostics.2026-12-09.recovered.gz"),
             std::string("Success: Generated QRB-type.txt"),
             std::string("Success: Wrote Nerova Wellcheck.log from plists"),
         })
        EXPECT_NE(log.find(line + "\n"), std::string::npos) << line;

    // Nothing of the staging folder is left; the log stays in the temporary folder.
    std::vector<std::string> leftovers;
    for (const auto& entry : fsys::directory_iterator(temporary)) leftovers.push_back(entry.path().filename().string());
    EXPECT_EQ(leftovers, std::vector<std::string>{"Nerova Diagnostic Utility.log"});

    // Every status line also went to the unified log under "zep".
    const std::string store = readText(tmp / "unified.log");
    EXPECT_NE(store.find("com.nerova.rivovovuvev\tzep\tDefault\tSuccess: Generated QRB-type.txt"), std::string::npos);
    EXPECT_NE(store.find("\tdiagnostics\tDefault\tzep : Running ZEP collection."), std::string::npos);
}

// zip failing at the end: the run's result is false and the staging folder
// is removed all the same.
TEST(CollectionDriver, FailedArchiveGivesFalseAndStillClearsTheStagingFolder) {
    testsupport::TempDir tmp;
    testsupport::ScopedEnv root("NRV_SYSTEM_ROOT", kSampleRoot);
    testsupport::ScopedEnv tmpdir("TMPDIR", tmp.path());
    platform::log::setSink(std::make_shared<platform::log::CaptureSink>());
    NRVProductInfo::resetIsNerovaHomeTo(std::nullopt);
    auto logger = std::make_shared<StatusLogger>(tmp / "run.log");
    const std::string staging = tmp / "Host_20261209_000000_ZEP";
    writeText(staging + "/stale-from-an-earlier-run", "old");

    std::mutex mutex;
    std::condition_variable done;
    std::optional<bool> success;
    {
        ZEP zep(logger, staging, tmp / "no-such-folder", "Host_20261209_000000_ZEP");
        zep.processOperationsFile();
        zep.runAsync([&](const std::string& archiveName, const std::string& finalLocation, bool ok) {
            EXPECT_EQ(archiveName, "Host_20261209_000000_ZEP");
            EXPECT_EQ(finalLocation, tmp / "no-such-folder");
            std::lock_guard<std::mutex> lock(mutex);
            success = ok;
            done.notify_all();
        });
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(120), [&] { return success.has_value(); }));
    }
    platform::log::setSink(nullptr);
    EXPECT_FALSE(*success);
    EXPECT_FALSE(exists(staging));
    const auto l = lines(logger->progressStatus());
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l[l.size() - 1].rfind("Failure: zip failed (", 0), 0u) << l.back();
    EXPECT_EQ(l[l.size() - 2], "Success: Collected run.log");
}
