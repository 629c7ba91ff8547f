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
#include "foundation/NSDateExtensions.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/log/LogStore.h"
#include "platform/system/SystemEnvironment.h"
#include "support/CollectionDriver.h"
#include "support/TestSupport.h"

namespace fsys = std::filesystem;
using testsupport::exists;
using testsupport::lines;
using testsupport::readText;
using testsupport::writeText;

namespace {

const std::string kProgram = std::string(NRV_BIN_DIR) + "/Nerova Diagnostic Utility";
const std::string kSampleRoot = testsupport::sampleRoot();

// What the sample tree gives in the archive of either edition, below the top
// folder: every row the two catalogues share that the tree can fill.
const std::vector<std::string> kSampleRowsOfBothEditions = {
    "DiagnosticReports/",
    "DiagnosticReports/NerovaDaemon_2026-12-01-101010_sample-mac.crash",
    "DiagnosticReports/panic-full-2026-11-30-220000.panic",
    "Nerova Wellcheck.log",
    "NerovaDiagnostics/",
    "NerovaDiagnostics/NerovaDiagnostics.2026-12-08.gz",
    "NerovaDiagnostics/NerovaDiagnostics.2026-12-09.gz",
    "NerovaDiagnostics/NerovaDiagnostics.2026-12-09.recovered.gz",
    "QRB-type.txt",
    "config/",
    "config/hbt/",
    "config/hbt/com.nerova.hbt.plist",
    "config/keychain/",
    "config/keychain/NerovaSecure.keychain",
    "config/lf/",
    "config/lf/com.nerova.lockfern.plist",
    "config/mcs/",
    "config/mcs/com.nerova.mcs.plist",
    "config/mcs/configuration.plist",
    "config/plw/",
    "config/plw/com.nerova.plw.plist",
    "config/plw/plw.plist",
    "config/qrb/",
    "config/qrb/com.nerova.qrb.plist",
    "config/qrb/receiptConfiguration.plist",
    "config/rms/",
    "config/rms/agent.config",
    "config/rms/cac.pem",
    "config/rms/nerova.config",
    "config/rms/router.config",
    "config/scan/",
    "config/scan/com.nerova.scans.plist",
    "config/swc/",
    "config/swc/com.nerova.swc.plist",
    "config/ztna/",
    "config/ztna/com.nerova.nsg.ztna.plist",
    "encryption/",
    "encryption/listing.txt",
    "hzt/",
    "hzt/diskutil_list_out",
    "qrb/",
    "qrb/Nerova Anti-Virus.log",
    "qrb/frameworks.txt",
    "qrb/ides.installed.txt",
    "qrb/listing-applications.txt",
    "qrb/listing-cbr.txt",
    "qrb/listing.txt",
    "qrb/product-info.plist",
    "qrb/system_scan_logs/",
    "qrb/system_scan_logs/FullScan 2026-12-08 091201.log",
    "qrb/system_scan_logs/QuickScan 2026-12-09 120000.log",
    "rakelinfo.txt",
    "rms/",
    "rms/NerovaManagementAgent/",
    "rms/NerovaManagementAgent/NerovaManagementAgent.log",
    "rms/NerovaManagementAgent/archive/",
    "rms/NerovaManagementAgent/archive/NerovaManagementAgent.1.log",
    "rms/NerovaMessageRouter/",
    "rms/NerovaMessageRouter/NerovaMessageRouter.log",
    "rms/cache/",
    "rms/cache/table_router.txt",
    "system/",
    "system/hosts",
    "system/ifconfig.txt",
    "system/install.log",
    "system/ioreg.txt",
    "system/kextstat.txt",
    "system/lsof.txt",
    "system/netstat.txt",
    "system/pmset.txt",
    "system/psaux.txt",
    "system/scutil_dns.txt",
    "system/scutil_nc_list.txt",
    "system/scutil_nc_show.txt",
    "system/scutil_nc_status.txt",
    "system/sysinfo.spx",
    "system/system.log",
    "system/system.log.0.gz",
    "system/systemextensionsctl.txt",
    "system/tcc.txt",
    "system/top.txt",
    "xdr/",
    "xdr/listing.txt",
    "xdr/logs/",
    "xdr/logs/osqueryd.INFO",
    "xdr/osquery.conf",
    "xdr/osquery.flags",
    "xdr/scheduled-query-pack/",
    "xdr/scheduled-query-pack/pack.conf",
};
// The rows of the sample tree that only the Endpoint catalogue collects:
// encryption logs, corc and mw lists, the updater log.
const std::vector<std::string> kSampleRowsOfEndpointOnly = {
    "config/corc/",
    "config/corc/com.nerova.corc.plist",
    "config/mw/",
    "config/mw/com.nerova.mw.plist",
    "encryption/logs/",
    "encryption/logs/KPJSubprocesses.log",
    "encryption/logs/KPJSubprocesses.log.1",
    "qrb/NerovaUpdater.log",
};

std::vector<std::string> sortedArchiveMembers(const std::string& zip) {
    auto members = testsupport::archiveMembers(zip);
    std::sort(members.begin(), members.end());
    return members;
}

// A private copy of the sample tree with the awkward inputs added, a home
// folder of its own and a temporary folder of its own.
class CollectionRun : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::copySampleTree(root);
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
        return testsupport::runCollectionProgram(kProgram, extraArgs, {root, home, temporary, tmp / "unified.log"});
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
    const std::vector<std::string> zips = testsupport::folderEntries(output);
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

    const auto members = sortedArchiveMembers(zip);
    const std::set<std::string> present(members.begin(), members.end());
    for (const std::string& member : members) {
        EXPECT_EQ(member.rfind(name + "/", 0), 0u) << "one top folder: " << member;
        EXPECT_EQ(member.find("/."), std::string::npos) << "no hidden files: " << member;
    }
    // The day of the archive's stamp (local time is UTC here).
    const std::string stamp = name.substr(name.size() - 19, 8);
    const std::string todaysExtract = "com.nerova.rivovovuvev-" + stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" +
                                      stamp.substr(6, 2) + ".log.gz";
    // The whole listing: a changed output folder or file name of the
    // catalogue fails here. The sample tree plus this test's additions
    // (the user's crash report, the oddly named relay log) exercise every
    // row of the Endpoint catalogue that a tree can hold.
    const std::vector<std::string> rowsOfThisRun = {
        "Nerova Diagnostic Utility.log",
        "DiagnosticReports/" + platform::userName() + "-NerovaDaemon_2026-12-01-101010_sample-mac.crash",
        "rms/NerovaMessageRouter/relay- eu-1 \xC3\xA9t\xC3\xA9.log",
        "rms/NerovaManagementAgent/empty/",
        "rms/NerovaMessageRouter/two^Jlines.log",  // unzip shows the line feed as ^J
        // No services run: the standalone extraction finds the run's own
        // records of today in the log store.
        "NerovaDiagnostics/" + todaysExtract,
    };
    std::vector<std::string> expected = kSampleRowsOfBothEditions;
    expected.insert(expected.end(), kSampleRowsOfEndpointOnly.begin(), kSampleRowsOfEndpointOnly.end());
    expected.insert(expected.end(), rowsOfThisRun.begin(), rowsOfThisRun.end());
    for (std::string& member : expected) member = name + "/" + member;
    expected.push_back(name + "/");
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), members.begin(), members.end(), std::back_inserter(missing));
    std::set_difference(members.begin(), members.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    EXPECT_TRUE(missing.empty() && extra.empty()) << "missing:\n  " << testing::PrintToString(missing)
                                                  << "\nnot expected:\n  " << testing::PrintToString(extra);
    EXPECT_FALSE(present.count(name + "/config/rms/MRInit.conf"));
    EXPECT_FALSE(present.count(name + "/encryption/dorvctl-zep.txt"));
    EXPECT_EQ(testsupport::archiveMemberText(zip, name + "/QRB-type.txt"), "Endpoint");
    EXPECT_EQ(testsupport::archiveMemberText(zip, name + "/DiagnosticReports/" + platform::userName() +
                                                      "-NerovaDaemon_2026-12-01-101010_sample-mac.crash"),
              "user copy\n");

    // The day's extract: the store's records of the product subsystem in the
    // compact style, with the diagnostics category tag edited out.
    const std::string extract =
        testsupport::gunzippedArchiveMemberText(zip, name + "/NerovaDiagnostics/" + todaysExtract);
    EXPECT_EQ(extract.rfind("Timestamp               Ty Process[PID:TID]\n", 0), 0u) << extract;
    EXPECT_NE(extract.find("] [com.nerova.rivovovuvev:zep] Success: Generated Nerova Diagnostic Utility.log\n"),
              std::string::npos);
    EXPECT_NE(extract.find("] zep : Running ZEP collection.\n"), std::string::npos);
    EXPECT_EQ(extract.find(":diagnostics]"), std::string::npos);

    // The copy inside the archive is the log up to the copy itself.
    const std::string copied = testsupport::archiveMemberText(zip, name + "/Nerova Diagnostic Utility.log");
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
             std::string("Warning: ZEP Status: Trying standalone log collection (XPC connection failed)"),
             std::string("Success: Finished processing log: ") + todaysExtract,
             std::string("Success: ZEP Status: Log file collection completed."),
             std::string("Success: ZEP Status: Log collection complete for process = sysextd"),
             std::string("Warning: ZEP Status: WQR activity summary skipped (XPC connection failed)"),
             std::string("Success: Wrote Nerova Wellcheck.log from plists"),
         })
        EXPECT_NE(log.find(line + "\n"), std::string::npos) << line;

    // Nothing of the staging folder is left; the log stays in the temporary folder.
    EXPECT_EQ(testsupport::folderEntries(temporary), std::vector<std::string>{"Nerova Diagnostic Utility.log"});

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

    const auto outcome = testsupport::runDriver(logger, staging, tmp / "no-such-folder", "Host_20261209_000000_ZEP");
    ASSERT_TRUE(outcome.success.has_value());
    EXPECT_EQ(outcome.archiveName, "Host_20261209_000000_ZEP");
    EXPECT_EQ(outcome.finalLocation, tmp / "no-such-folder");
    platform::log::setSink(nullptr);
    EXPECT_FALSE(*outcome.success);
    EXPECT_FALSE(exists(staging));
    const auto l = lines(logger->progressStatus());
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l[l.size() - 1].rfind("Failure: zip failed (", 0), 0u) << l.back();
    EXPECT_EQ(l[l.size() - 2], "Success: Collected run.log");
}

// The driver's steps in their order, seen in the collection log of a run on
// the sample tree: clearing the staging folder, the log's start, the file
// copiers, the report, the directory copiers, the commands (system_profiler
// first), the unified-log extraction (standalone, no services running), the
// process logs, the data-recorder summary, the archive checks, QRB-type.txt,
// the log's own copy and the zip.
// Every line is compared, so a changed status text fails too. A stale staging
// folder from an earlier run must not reach the archive.
TEST(CollectionDriver, StepsRunInOrderFromAClearedStagingFolder) {
    testsupport::TempDir tmp;
    const std::string home = tmp / "home";
    fsys::create_directories(home);
    testsupport::ScopedEnv root("NRV_SYSTEM_ROOT", kSampleRoot);
    testsupport::ScopedEnv homeEnv("HOME", home);
    testsupport::ScopedEnv tz("TZ", std::string("UTC"));
    testsupport::ScopedEnv tmpdir("TMPDIR", tmp.path());
    // No services, and a log store without records: the unified-log steps
    // fall back to the standalone extraction and find nothing.
    testsupport::ScopedEnv runtime("NRV_RUNTIME_ROOT", tmp / "runtime");
    testsupport::ScopedEnv store("NRV_LOG_STORE", tmp / "unified.log");
    platform::log::setSink(std::make_shared<platform::log::CaptureSink>());
    NRVProductInfo::resetIsNerovaHomeTo(std::nullopt);
    const std::string name = "Host_20261209_000000_ZEP";
    const std::string staging = tmp / name;
    const std::string output = tmp / "out";
    fsys::create_directories(output);
    writeText(staging + "/stale-from-an-earlier-run", "old");
    writeText(staging + "/system/hosts", "stale hosts\n");
    auto logger = std::make_shared<StatusLogger>(tmp / "run.log");

    const std::optional<bool> success = testsupport::runDriver(logger, staging, output, name).success;
    ASSERT_TRUE(success.has_value()) << "the run did not finish";
    platform::log::setSink(nullptr);
    ASSERT_TRUE(*success);

    const std::string zip = output + "/" + name + ".zip";
    const auto members = sortedArchiveMembers(zip);
    EXPECT_EQ(std::count(members.begin(), members.end(), name + "/stale-from-an-earlier-run"), 0);
    EXPECT_EQ(testsupport::archiveMemberText(zip, name + "/system/hosts"),
              readText(kSampleRoot + "/private/etc/hosts"));

    // The log after its header line, with the run's own paths put back as
    // placeholders.
    std::string log = readText(tmp / "run.log");
    ASSERT_TRUE(std::regex_search(log, std::regex("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000 Begin collection\\.\\.\\. \n")))
        << log;
    log = log.substr(log.find('\n') + 1);
    for (std::size_t at; (at = log.find(home)) != std::string::npos;) log.replace(at, home.size(), "@HOME@");
    const std::string expectedPath = std::string(NRV_FIXTURES_DIR) + "/expected/sample-collection.log";
    EXPECT_EQ(log, readText(expectedPath));
}

// A run queued just before midnight that reaches the unified-log steps just
// after it: the standalone extraction reads the 31 days that end with the new
// day, not those that end with the day the run was queued on.
TEST(CollectionDriver, UnifiedLogDaysAreThoseOfTheStepsStart) {
    // Moves the clock past midnight when the run writes its first line, after
    // every step was queued and before any of them ran.
    class MidnightLogger : public StatusLogger {
    public:
        MidnightLogger(std::string url, double afterMidnight) : StatusLogger(std::move(url)), after_(afterMidnight) {}
        void updateStatus(const std::string& line) override {
            if (line.find("Begin collection") != std::string::npos) NSDateExtensions::setClockOffsetForUnitTest(after_);
            StatusLogger::updateStatus(line);
        }

    private:
        double after_;
    };

    testsupport::TempDir tmp;
    const std::string home = tmp / "home";
    fsys::create_directories(home);
    testsupport::ScopedEnv root("NRV_SYSTEM_ROOT", kSampleRoot);
    testsupport::ScopedEnv homeEnv("HOME", home);
    testsupport::ScopedEnv tmpdir("TMPDIR", tmp.path());
    testsupport::ScopedEnv runtime("NRV_RUNTIME_ROOT", tmp / "runtime");
    testsupport::ScopedEnv store("NRV_LOG_STORE", tmp / "unified.log");
    platform::log::setSink(std::make_shared<platform::log::CaptureSink>());
    NRVProductInfo::resetIsNerovaHomeTo(std::nullopt);

    const NRVDate realNow = NSDateExtensions::now();
    const NRVDate newDay = NSDateExtensions::dateByAddingDays(NSDateExtensions::startOfDay(realNow), 1);
    const NRVDate firstDayOfNewWindow = NSDateExtensions::dateByAddingDays(newDay, -30);
    const NRVDate dayBeforeIt = NSDateExtensions::dateByAddingDays(newDay, -31);
    // A record an hour into the new day, one in the first day of the new
    // window, and one in the day before that, which only the old window holds.
    std::string text;
    for (const NRVDate& day : {newDay, firstDayOfNewWindow, dayBeforeIt}) {
        platform::log::Record r;
        r.timestamp = "stamp";
        r.unixTime = day.timeIntervalSince1970() + 3600;
        r.pid = 7;
        r.process = "nerovad";
        r.subsystem = "com.nerova.rivovovuvev";
        r.category = "zep";
        r.message = "a record";
        text += platform::log::renderLine(r) + "\n";
    }
    writeText(tmp / "unified.log", text);

    const double beforeMidnight = newDay.sinceReferenceDate - 5 - realNow.sinceReferenceDate;
    const double afterMidnight = newDay.sinceReferenceDate + 5 - realNow.sinceReferenceDate;
    NSDateExtensions::setClockOffsetForUnitTest(beforeMidnight);
    auto logger = std::make_shared<MidnightLogger>(tmp / "run.log", afterMidnight);
    fsys::create_directories(tmp / "out");
    const std::optional<bool> success = testsupport::runDriver(logger, tmp / "staging", tmp / "out", "Host_ZEP").success;
    NSDateExtensions::setClockOffsetForUnitTest(0);
    platform::log::setSink(nullptr);
    ASSERT_TRUE(success.has_value()) << "the run did not finish";

    std::vector<std::string> extracted;
    for (const std::string& line : lines(logger->progressStatus()))
        if (line.rfind("Success: Finished processing log: ", 0) == 0) extracted.push_back(line.substr(34));
    const auto name = [](NRVDate day) {
        return "com.nerova.rivovovuvev-" + NSDateExtensions::zepLogFormattedDateString(day) + ".log.gz";
    };
    EXPECT_EQ(extracted, (std::vector<std::string>{name(newDay), name(firstDayOfNewWindow)}));
}

// The home edition's catalogue on the same tree: the Endpoint listing without
// the rows the home edition lacks (encryption logs, corc and mw lists, the
// updater log).
TEST(CollectionDriver, HomeEditionArchiveListing) {
    testsupport::TempDir tmp;
    fsys::create_directories(tmp / "home");
    testsupport::ScopedEnv root("NRV_SYSTEM_ROOT", kSampleRoot);
    testsupport::ScopedEnv homeEnv("HOME", tmp / "home");
    testsupport::ScopedEnv tmpdir("TMPDIR", tmp.path());
    testsupport::ScopedEnv runtime("NRV_RUNTIME_ROOT", tmp / "runtime");
    testsupport::ScopedEnv store("NRV_LOG_STORE", tmp / "unified.log");
    platform::log::setSink(std::make_shared<platform::log::CaptureSink>());
    NRVProductInfo::resetIsNerovaHomeTo(true);
    const std::string name = "Host_20261209_000000_ZEP";
    fsys::create_directories(tmp / "out");
    const auto success =
        testsupport::runDriver(std::make_shared<StatusLogger>(tmp / "run.log"), tmp / name, tmp / "out", name).success;
    NRVProductInfo::resetIsNerovaHomeTo(std::nullopt);
    platform::log::setSink(nullptr);
    ASSERT_TRUE(success.has_value() && *success);

    std::vector<std::string> members = sortedArchiveMembers(tmp / ("out/" + name + ".zip"));
    for (std::string& member : members) member.erase(0, name.size() + 1);
    std::vector<std::string> expected = kSampleRowsOfBothEditions;
    // The top folder itself, and the collection log's copy under its name here.
    expected.insert(expected.end(), {"", "run.log"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(members, expected);
}
