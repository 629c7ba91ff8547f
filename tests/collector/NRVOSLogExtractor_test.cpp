// The unified-log extractor against a `log` program of the test's own: the
// standalone day loop with its limits, the line edits, the process days, and
// a `log show` that does not end. No services run (the runtime root is
// empty), so the subsystem extraction falls back to the day loop at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "collector/NRVOSLogExtractor.h"
#include "collector/StatusLogger.h"
#include "foundation/NSDataExtensions.h"
#include "foundation/NSDateExtensions.h"
#include "platform/log/LogStore.h"
#include "support/Events.h"
#include "support/TestSupport.h"

using testsupport::exists;
using testsupport::readText;
using testsupport::writeText;

namespace {

const std::string kHeader = "Timestamp               Ty Process[PID:TID]\n";

std::string day(int back) {
    return NSDateExtensions::zepLogFormattedDateString(
        NSDateExtensions::dateByAddingDays(NSDateExtensions::startOfDay(NSDateExtensions::now()), -back));
}

std::string gunzip(const std::string& path) {
    const std::string data = readText(path);
    const auto out = NSDataExtensions::gzipDecompress(
        std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    return out ? std::string(reinterpret_cast<const char*>(out->data()), out->size()) : "<not gzip>";
}

// A `log` that records its arguments (one line per run in `calls`), prints
// nothing more when `silent` exists, else the header, then `days/<start
// day>` and `every-day` when they exist, and with `hang` present leaves a
// child holding its output open.
class ExtractorTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeText(tool, "#!/bin/bash\n"
                        "here=$(dirname \"$0\")\n"
                        "printf '%s\\n' \"$*\" >> \"$here/calls\"\n"
                        "[ -f \"$here/silent\" ] && exit 0\n"
                        "start=; prev=\n"
                        "for a in \"$@\"; do [ \"$prev\" = --start ] && start=$a; prev=$a; done\n"
                        "printf 'Timestamp               Ty Process[PID:TID]\\n'\n"
                        "[ -f \"$here/days/$start\" ] && cat \"$here/days/$start\"\n"
                        "[ -f \"$here/every-day\" ] && cat \"$here/every-day\"\n"
                        "if [ -f \"$here/hang\" ]; then echo \"$$\" > \"$here/pid\"; sleep 600 &\n"
                        "  [ -s \"$here/hang\" ] && wait; fi\n"
                        "exit 0\n");
        ::chmod(tool.c_str(), 0755);
        platform::log::setSink(capture);
    }
    void TearDown() override { platform::log::setSink(nullptr); }

    std::unique_ptr<NRVOSLogExtractor> extractor() {
        auto e = std::make_unique<NRVOSLogExtractor>();
        e->setLogToolPath(tool);
        return e;
    }
    std::vector<std::string> calls() { return testsupport::lines(readText(tmp / "calls")); }
    std::vector<std::string> statusLines() {
        std::vector<std::string> out;
        for (const auto& line : testsupport::lines(logger->progressStatus()))
            if (!line.empty()) out.push_back(line);
        return out;
    }
    std::vector<std::string> extracts() {
        std::vector<std::string> names;
        if (!exists(staging + "/NerovaDiagnostics")) return names;
        for (const auto& entry : std::filesystem::directory_iterator(staging + "/NerovaDiagnostics"))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    bool logged(const std::string& message) {
        for (const auto& r : capture->records())
            if (r.message == message) return true;
        return false;
    }

    testsupport::TempDir tmp;
    // No broker socket: the root-privileged service is unreachable at once.
    testsupport::ScopedEnv runtime{"NRV_RUNTIME_ROOT", tmp / "runtime"};
    std::string tool = tmp / "log";
    std::string staging = tmp / "staging";
    std::shared_ptr<StatusLogger> logger = std::make_shared<StatusLogger>(tmp / "run.log");
    std::shared_ptr<platform::log::CaptureSink> capture = std::make_shared<platform::log::CaptureSink>();
};

TEST_F(ExtractorTest, AllDaysEmptyRunsTodayAndThirtyDaysBeforeNewestFirst) {
    extractor()->extractLogsForNerovaSubSystem(staging, logger);
    // The service's absence is known from the broker's missing socket, so no
    // connect is tried (which would wait out its 3 s limit).
    EXPECT_TRUE(logged("The broker's socket does not exist: no connection to the service "
                       "'com.nerova.xpc.name.rootPrivilegeService'."));

    const auto made = calls();
    ASSERT_EQ(made.size(), 31u);
    for (int back = 0; back < 31; ++back)
        EXPECT_EQ(made[static_cast<std::size_t>(back)],
                  "show --info --signpost --no-pager --style compact --start " + day(back) + " --end " + day(back - 1) +
                      " --predicate subsystem == 'com.nerova.rivovovuvev'");
    EXPECT_EQ(extracts(), std::vector<std::string>{});
    EXPECT_EQ(statusLines(), (std::vector<std::string>{
                                 "Warning: ZEP Status: Trying standalone log collection (XPC connection failed)",
                                 "Success: ZEP Status: Log file collection completed.",
                             }));
    EXPECT_TRUE(logged("Unable to establish XPC Connection to Nerova ServiceManager"));
    EXPECT_TRUE(logged("No log data found for date : " + day(30) + " "));
}

TEST_F(ExtractorTest, CapPassedOnTheFirstDayKeepsThatFileAndStops) {
    writeText(tmp / "every-day", "2026-01-01 00:00:00.000 Df zepd[1:1] busy day\n");
    auto e = extractor();
    e->setMaxLogBytesForUnitTest(1);
    e->extractLogsForNerovaSubSystem(staging, logger);
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_EQ(extracts(), std::vector<std::string>{"com.nerova.rivovovuvev-" + day(0) + ".log.gz"});
    EXPECT_EQ(statusLines(), (std::vector<std::string>{
                                 "Warning: ZEP Status: Trying standalone log collection (XPC connection failed)",
                                 "Success: Finished processing log: com.nerova.rivovovuvev-" + day(0) + ".log.gz",
                                 "Warning: Compressed data size has exceeded maximum size",
                             }));

    // A second run on the same extractor starts again at today.
    std::filesystem::remove(tmp / "calls");
    e->extractLogsForNerovaSubSystem(staging, logger);
    ASSERT_EQ(calls().size(), 1u);
    EXPECT_NE(calls()[0].find("--start " + day(0) + " "), std::string::npos);
}

TEST_F(ExtractorTest, CapReachedExactlyEndsWithoutALine) {
    writeText(tmp / ("days/" + day(0)), "2026-01-01 00:00:00.000 Df zepd[1:1] today\n");
    extractor()->extractLogsForNerovaSubSystem(staging, logger);
    ASSERT_EQ(calls().size(), 31u);
    const auto size = std::filesystem::file_size(staging + "/NerovaDiagnostics/com.nerova.rivovovuvev-" + day(0) + ".log.gz");

    std::filesystem::remove_all(staging);
    std::filesystem::remove(tmp / "calls");
    logger->setProgressStatus("");
    auto e = extractor();
    e->setMaxLogBytesForUnitTest(size);
    e->extractLogsForNerovaSubSystem(staging, logger);
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_EQ(statusLines(), (std::vector<std::string>{
                                 "Warning: ZEP Status: Trying standalone log collection (XPC connection failed)",
                                 "Success: Finished processing log: com.nerova.rivovovuvev-" + day(0) + ".log.gz",
                             }));
}

// What lands in a day's file: the tool's output with every line edited, as
// one gzip stream, also when a line is long, not valid UTF-8, or unfinished.
TEST_F(ExtractorTest, DayFileHoldsTheEditedOutput) {
    const std::string big(3 << 20, 'm');
    writeText(tmp / ("days/" + day(1)),
              "2026-01-01 00:00:00.000 Df zepd[1:1] [com.nerova.rivovovuvev:diagnostics] zep : started "
              "<libNerovaFoundation.dylib`NerovaDiagnosticsWithArguments+52> done\n"
              "2026-01-01 00:00:01.000 Df sshd[2:2] host localhost sshd\tbad \xff\xfe\n" +
                  big + "\nlast line without a feed");
    extractor()->extractLogsForNerovaSubSystem(staging, logger);
    EXPECT_EQ(extracts(), std::vector<std::string>{"com.nerova.rivovovuvev-" + day(1) + ".log.gz"});
    EXPECT_EQ(gunzip(staging + "/NerovaDiagnostics/com.nerova.rivovovuvev-" + day(1) + ".log.gz"),
              kHeader + "2026-01-01 00:00:00.000 Df zepd[1:1] zep : started done\n"
                        "2026-01-01 00:00:01.000 Df sshd[2:2] hostsshd\tbad \xff\xfe\n" +
                  big + "\nlast line without a feed");
    // No temporary file is left beside it.
    EXPECT_EQ(extracts().size(), 1u);
}

TEST_F(ExtractorTest, ProcessDaysRunInParallelFromTheFirstDayToToday) {
    writeText(tmp / ("days/" + day(0)), "2026-01-01 00:00:00.000 Df sysextd[1:1] <private> localhost kept as is\n");
    writeText(tmp / ("days/" + day(10)), "2026-01-01 00:00:00.000 Df sysextd[1:1] ten days ago\n");
    const NRVDate from = NSDateExtensions::dateByAddingDays(NSDateExtensions::now(), -10);
    extractor()->extractLogsForProcessPredicate("sysextd", from, staging, logger);

    auto made = calls();
    std::sort(made.begin(), made.end());
    ASSERT_EQ(made.size(), 11u);
    EXPECT_EQ(made[0], "show --signpost --no-pager --source --style compact --start " + day(10) + " --end " + day(9) +
                           " --predicate process == 'sysextd'");
    EXPECT_EQ(extracts(), (std::vector<std::string>{"sysextd-" + day(10) + ".log.gz", "sysextd-" + day(0) + ".log.gz"}));
    // Process output is not edited.
    EXPECT_EQ(gunzip(staging + "/NerovaDiagnostics/sysextd-" + day(0) + ".log.gz"),
              kHeader + "2026-01-01 00:00:00.000 Df sysextd[1:1] <private> localhost kept as is\n");
    EXPECT_EQ(statusLines(), std::vector<std::string>{"Success: ZEP Status: Log collection complete for process = sysextd"});
    EXPECT_TRUE(logged("Log file for process sysextd is empty for date " + day(5)));
}

// Only the header alone is a day without records: a tool that prints nothing
// at all has still answered, and its answer is kept like any other.
TEST_F(ExtractorTest, OutputOfNoBytesIsWrittenLikeAnyOther) {
    writeText(tmp / "silent", "");
    extractor()->extractLogsForProcessPredicate("sysextd", NSDateExtensions::dateByAddingDays(NSDateExtensions::now(), -1),
                                                staging, logger);
    EXPECT_EQ(extracts(), (std::vector<std::string>{"sysextd-" + day(1) + ".log.gz", "sysextd-" + day(0) + ".log.gz"}));
    EXPECT_EQ(gunzip(staging + "/NerovaDiagnostics/sysextd-" + day(0) + ".log.gz"), "");

    auto e = extractor();
    e->setMaxLogBytesForUnitTest(1);  // one day is enough
    e->extractLogsForNerovaSubSystem(staging, logger);
    EXPECT_EQ(gunzip(staging + "/NerovaDiagnostics/com.nerova.rivovovuvev-" + day(0) + ".log.gz"), "");
    EXPECT_EQ(statusLines().at(2), "Success: Finished processing log: com.nerova.rivovovuvev-" + day(0) + ".log.gz");
}

// A `log show` that outlives its limit is ended with its process group, and
// a helper left behind by one that exits holds nothing up either.
TEST_F(ExtractorTest, LogShowThatDoesNotEndIsEndedWithItsGroup) {
    writeText(tmp / ("days/" + day(0)), "2026-01-01 00:00:00.000 Df zepd[1:1] before the hang\n");
    auto groupGone = [&] {
        const int pid = std::stoi(readText(tmp / "pid"));
        // The group's members may linger as zombies for a moment.
        return testsupport::waitUntil([&] { return ::kill(-pid, 0) != 0; }, std::chrono::seconds(5));
    };
    for (const char* mode : {"", "wait"}) {
        SCOPED_TRACE(*mode ? "hangs" : "leaves a child behind");
        writeText(tmp / "hang", mode);
        std::filesystem::remove_all(staging);
        auto e = extractor();
        // Long enough for the stand-in to print its line on a loaded machine.
        e->setLogShowTimeLimitForUnitTest(std::chrono::seconds(2));
        const auto started = std::chrono::steady_clock::now();
        e->extractLogsForProcessPredicate("zepd", NSDateExtensions::now(), staging, logger);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
        EXPECT_EQ(gunzip(staging + "/NerovaDiagnostics/zepd-" + day(0) + ".log.gz"),
                  kHeader + "2026-01-01 00:00:00.000 Df zepd[1:1] before the hang\n");
        EXPECT_TRUE(groupGone());
    }
    EXPECT_TRUE(logged("log show for zepd on " + day(0) + " did not finish in time and was ended"));
}

// The three edits, each against sed itself where it is installed.
TEST(NRVOSLogExtractorFilter, EditsLikeTheThreeSedExpressions) {
    struct Case {
        const char* name;
        std::string line;
        std::string expected;
    };
    const Case cases[] = {
        {"wrapper frame", "a zep : x <libNerova.dylib`NerovaDiagnosticsWithArguments+52> b", "a zep : x b"},
        {"frame from the first blank-angle", "a <one> b <lib`NerovaDiagnosticsWithArguments+1> c", "a c"},
        {"frame to the last mention", "a <x`NerovaDiagnosticsWithArguments> b <y`NerovaDiagnosticsWithArguments+2> c",
         "a c"},
        {"frame needs a closing angle", "a <lib`NerovaDiagnosticsWithArguments+52", "a <lib`NerovaDiagnosticsWithArguments+52"},
        {"frame needs text before the name", "a <`NerovaDiagnosticsWithArguments> b", "a <`NerovaDiagnosticsWithArguments> b"},
        {"frame needs the blank", "a<lib`NerovaDiagnosticsWithArguments> b", "a<lib`NerovaDiagnosticsWithArguments> b"},
        {"category tag, first only",
         "t [com.nerova.rivovovuvev:diagnostics] zep : [com.nerova.rivovovuvev:diagnostics] x",
         "t zep : [com.nerova.rivovovuvev:diagnostics] x"},
        {"other category kept", "t [com.nerova.rivovovuvev:zep] x", "t [com.nerova.rivovovuvev:zep] x"},
        {"localhost, first only", "host localhost localhost sshd", "hostlocalhost sshd"},
        {"localhost needs both blanks", "localhost sshd", "localhost sshd"},
        {"all three", "d localhost p [com.nerova.rivovovuvev:diagnostics] zep : m <l`NerovaDiagnosticsWithArguments+1>",
         "dp zep : m"},
        {"tabs and invalid UTF-8 untouched", "bad \xff\t <x`NerovaDiagnosticsWithArguments>", "bad \xff\t"},
        {"empty", "", ""},
    };
    const bool haveSed = exists("/bin/sed");
    testsupport::TempDir tmp;
    for (const Case& c : cases) {
        EXPECT_EQ(NRVOSLogExtractor::filteredLine(c.line), c.expected) << c.name;
        if (!haveSed) continue;
        writeText(tmp / "in", c.line + "\n");
        const auto sed = testsupport::runProgram(
            {"/bin/sed", "-E", "-e", "s/ <.+`NerovaDiagnosticsWithArguments[^>]*>//", "-e",
             "s/ \\[com\\.nerova\\.rivovovuvev\\:diagnostics\\]//", "-e", "s/ localhost //", tmp / "in"},
            {{"LC_ALL", "C"}});
        EXPECT_EQ(sed.out, c.expected + "\n") << "sed disagrees: " << c.name;
    }
}

}  // namespace
