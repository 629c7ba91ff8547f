#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/log/LogStore.h"
#include "support/TestSupport.h"

namespace plog = platform::log;
using testsupport::runProgram;

namespace {

const std::string kTool = std::string(NRV_BIN_DIR) + "/log";
const std::string kHeader = "Timestamp               Ty Process[PID:TID]\n";

// 2025-03-07 00:00:00 UTC
constexpr double kDay = 1741305600;

plog::Record record(double at, const std::string& stamp, const std::string& process, const std::string& subsystem,
                    plog::Level level, const std::string& message) {
    plog::Record r;
    r.timestamp = stamp;
    r.unixTime = at;
    r.pid = 42;
    r.threadID = 0x1f;
    r.process = process;
    r.subsystem = subsystem;
    r.category = "zep";
    r.level = level;
    r.message = message;
    return r;
}

std::string store(const std::vector<plog::Record>& records) {
    std::string text;
    for (const auto& r : records) text += plog::renderLine(r) + "\n";
    return text;
}

testsupport::ProgramResult show(const std::string& storePath, std::vector<std::string> args) {
    args.insert(args.begin(), {kTool, "show"});
    return runProgram(args, {{"NRV_LOG_STORE", storePath}, {"TZ", "UTC"}});
}

TEST(LogTool, ShowsTheSelectedDayInCompactStyle) {
    testsupport::TempDir dir;
    const std::string sub = "com.nerova.rivovovuvev";
    testsupport::writeText(dir / "store", store({
        record(kDay - 1, "2025-03-06 23:59:59.999999+0000", "zepd", sub, plog::Level::Default, "day before"),
        record(kDay, "2025-03-07 00:00:00.000000+0000", "zepd", sub, plog::Level::Default, "midnight"),
        record(kDay + 5, "2025-03-07 00:00:05.123456+0000", "zepd", sub, plog::Level::Info, "info\twith tab"),
        record(kDay + 6, "2025-03-07 00:00:06.000000+0000", "zepd", sub, plog::Level::Debug, "debug is never shown"),
        record(kDay + 7, "2025-03-07 00:00:07.000000+0000", "other", "com.other", plog::Level::Error, "other subsystem"),
        record(kDay + 8, "2025-03-07 00:00:08.000000+0000", "other", sub, plog::Level::Fault, "two\nlines"),
        record(kDay + 86400, "2025-03-08 00:00:00.000000+0000", "zepd", sub, plog::Level::Default, "next day"),
    }));
    const std::vector<std::string> day = {"--no-pager", "--signpost", "--style", "compact", "--start", "2025-03-07",
                                          "--end", "2025-03-08"};

    auto withInfo = day;
    withInfo.insert(withInfo.end(), {"--info", "--predicate", "subsystem == '" + sub + "'"});
    auto result = show(dir / "store", withInfo);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, kHeader +
                              "2025-03-07 00:00:00.000 Df zepd[42:1f] [com.nerova.rivovovuvev:zep] midnight\n"
                              "2025-03-07 00:00:05.123 I  zepd[42:1f] [com.nerova.rivovovuvev:zep] info\twith tab\n"
                              "2025-03-07 00:00:08.000 F  other[42:1f] [com.nerova.rivovovuvev:zep] two\nlines\n");

    auto byProcess = day;
    byProcess.insert(byProcess.end(), {"--source", "--predicate", "process == 'other'"});
    result = show(dir / "store", byProcess);
    EXPECT_EQ(result.out, kHeader +
                              "2025-03-07 00:00:07.000 E  other[42:1f] [com.other:zep] other subsystem\n"
                              "2025-03-07 00:00:08.000 F  other[42:1f] [com.nerova.rivovovuvev:zep] two\nlines\n");

    result = show(dir / "store", {"--start", "2025-03-08 00:00:00"});
    EXPECT_EQ(result.out, kHeader + "2025-03-08 00:00:00.000 Df zepd[42:1f] [com.nerova.rivovovuvev:zep] next day\n");
    EXPECT_EQ(kHeader.size(), 44u);
}

TEST(LogTool, ReadsHostileStoresSafely) {
    testsupport::TempDir dir;
    const std::string big(1 << 20, 'm');
    const std::string good = store({
        record(kDay, "2025-03-07 00:00:00.000000+0000", "p", "s", plog::Level::Default, big),
        record(kDay + 1, "2025-03-07 00:00:01.000000+0000", "p", "s", plog::Level::Default, "bad \xff\xfe utf8"),
    });
    const std::string torn = plog::renderLine(
        record(kDay + 2, "2025-03-07 00:00:02.000000+0000", "p", "s", plog::Level::Default, "torn"));
    testsupport::writeText(dir / "store", "not a record\n" + std::string(5 << 20, 'x') + "\n" + good +
                                              torn.substr(0, torn.size() - 1));
    auto result = show(dir / "store", {});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kHeader + "2025-03-07 00:00:00.000 Df p[42:1f] [s:zep] " + big +
                              "\n2025-03-07 00:00:01.000 Df p[42:1f] [s:zep] bad \xff\xfe utf8\n");

    testsupport::writeText(dir / "empty", "");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    struct Case { const char* name; std::string path; int status; };
    const Case cases[] = {{"missing", dir / "absent", 1}, {"empty", dir / "empty", 0},
                          {"fifo", dir / "fifo", 1}, {"folder", dir.path(), 1}};
    for (const auto& c : cases) {
        result = show(c.path, {});
        EXPECT_EQ(result.status, c.status) << c.name;
        // The header comes first whatever happens to the store: a reader of
        // the output alone sees a range without records.
        EXPECT_EQ(result.out, kHeader) << c.name;
        EXPECT_EQ(testsupport::lines(result.err).size(), c.status ? 1u : 0u) << c.name << ": " << result.err;
        if (c.status) {
            EXPECT_NE(result.err.find(c.path), std::string::npos) << c.name << ": " << result.err;
        }
    }
}

TEST(LogTool, RefusesWhatItDoesNotUnderstand) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"stream"},
        {"show", "--style", "json"},
        {"show", "--start"},
        {"show", "--start", "yesterday"},
        {"show", "--end", "2025-13-01"},
        {"show", "--predicate", "category == 'x'"},
        {"show", "--predicate", "subsystem == x"},
        {"show", "--last", "1h"},
    };
    for (auto args : cases) {
        args.insert(args.begin(), kTool);
        const auto result = runProgram(args, {{"NRV_LOG_STORE", "/nonexistent/store"}});
        EXPECT_EQ(result.status, 64) << (args.size() > 1 ? args[1] : "");
        EXPECT_EQ(result.out, "");
    }
}

// A store of 31 days, big enough for the day to be found by binary search:
// every day shows exactly its own records, whether the store is in time
// order or has a block of records out of place. A day without records shows
// the header alone.
TEST(LogTool, FindsEveryRecordOfTheDayInOrderedAndDisorderedStores) {
    testsupport::TempDir dir;
    std::vector<plog::Record> records;
    for (int d = 0; d < 31; ++d) {
        if (d == 12) continue;  // a day without records
        for (int i = 0; i < 120; ++i) {  // 120 records of 300 bytes a day: over 1 MiB
            const double at = kDay + d * 86400.0 + i * 700.0;
            char stamp[64];
            std::snprintf(stamp, sizeof stamp, "day %02d record %03d", d, i);
            records.push_back(record(at, stamp, "zepd", "com.nerova.rivovovuvev", plog::Level::Default,
                                     std::string(240, 'a' + d % 26)));
        }
    }
    // Day d as the tool names it (TZ=UTC), and what it must print for it.
    auto dayName = [](int d) {
        const auto t = static_cast<time_t>(kDay + d * 86400.0);
        tm utc{};
        gmtime_r(&t, &utc);
        char text[16];
        std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
        return std::string(text);
    };
    auto expectedFor = [&](const std::vector<plog::Record>& all, int d) {
        std::string out = kHeader;
        for (const auto& r : all)
            if (r.unixTime >= kDay + d * 86400.0 && r.unixTime < kDay + (d + 1) * 86400.0) {
                out += r.timestamp.substr(0, 23);
                out.resize(out.size() + 23 - std::min<std::size_t>(23, r.timestamp.size()), ' ');
                out += " Df zepd[42:1f] [com.nerova.rivovovuvev:zep] " + r.message + "\n";
            }
        return out;
    };

    // In order; then the records of days 20-22 moved to the front, as when
    // two stores are joined or the clock was set back.
    std::vector<plog::Record> disordered;
    for (const auto& r : records)
        if (r.unixTime >= kDay + 20 * 86400.0 && r.unixTime < kDay + 23 * 86400.0) disordered.push_back(r);
    for (const auto& r : records)
        if (!(r.unixTime >= kDay + 20 * 86400.0 && r.unixTime < kDay + 23 * 86400.0)) disordered.push_back(r);

    for (const auto* all : {&records, &disordered}) {
        SCOPED_TRACE(all == &records ? "in order" : "out of order");
        testsupport::writeText(dir / "store", store(*all));
        ASSERT_GT(std::filesystem::file_size(dir / "store"), 1u << 20);
        for (int d : {0, 1, 12, 15, 21, 29, 30}) {
            const auto result = show(dir / "store", {"--start", dayName(d), "--end", dayName(d + 1), "--predicate",
                                                     "subsystem == 'com.nerova.rivovovuvev'"});
            EXPECT_EQ(result.status, 0);
            const std::string expected = expectedFor(*all, d);
            EXPECT_EQ(result.out.size(), expected.size()) << "day " << d;
            EXPECT_TRUE(result.out == expected) << "day " << d;
            if (d == 12) {
                EXPECT_EQ(result.out, kHeader);
            }
        }
    }
}

TEST(LogTool, UnreadableStoreIsAnErrorAfterTheHeader) {
    testsupport::TempDir dir;
    testsupport::writeText(dir / "store", store({record(kDay, "2025-03-07 00:00:00.000000+0000", "p", "s",
                                                        plog::Level::Default, "secret")}));
    ::chmod((dir / "store").c_str(), 0);
    ::chmod(dir.path().c_str(), 0755);
    testsupport::ProgramResult result;
    if (::geteuid() == 0) {
        if (const auto why = testsupport::unprivilegedUserCannotRun(kTool)) GTEST_SKIP() << *why;
        result = testsupport::runProgramAsUnprivilegedUser({kTool, "show"}, {{"NRV_LOG_STORE", dir / "store"}}, "/");
    } else {
        result = show(dir / "store", {});
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kHeader);
    EXPECT_NE(result.err.find("cannot open the log store"), std::string::npos) << result.err;
}

// The help text, asked for as the tool or as its one command: on standard
// output with status 0, naming the commands, the options, the date forms
// and the store that is read (here the one NRV_LOG_STORE names).
TEST(LogTool, HelpDescribesCommandsOptionsDatesAndTheStore) {
    const std::vector<std::vector<std::string>> asked = {
        {"--help"}, {"-h"}, {"show", "--help"}, {"show", "-h"}, {"show", "--info", "--help"}};
    for (auto args : asked) {
        args.insert(args.begin(), kTool);
        const auto result = runProgram(args, {{"NRV_LOG_STORE", "/the/chosen/store"}});
        SCOPED_TRACE(args.back());
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        for (const char* part : {"usage: log show ", "Commands:", "--start DATE", "--end DATE", "--predicate",
                                 "--info", "--style compact", "yyyy-MM-dd HH:mm:ss+zzzz", "NRV_LOG_STORE",
                                 "Read now: /the/chosen/store\n"})
            EXPECT_NE(result.out.find(part), std::string::npos) << part;
    }
}

// A range without any instant in it is refused with one line and no output.
TEST(LogTool, EmptyRangeIsRefusedInOneLine) {
    testsupport::TempDir dir;
    testsupport::writeText(dir / "store", store({record(kDay, "2025-03-07 00:00:00.000000+0000", "p", "s",
                                                        plog::Level::Default, "a record")}));
    struct Case {
        const char* name;
        std::string start, end;
    };
    const Case cases[] = {
        {"start a day after the end", "2025-03-08", "2025-03-07"},
        {"start a second after the end", "2025-03-07 00:00:01", "2025-03-07 00:00:00"},
        {"start equal to the end", "2025-03-07", "2025-03-07 00:00:00"},
        {"start after the end, given with offsets", "2025-03-07 01:00:00 +0100", "2025-03-06 23:59:59 +0000"},
    };
    for (const Case& c : cases) {
        const auto result = show(dir / "store", {"--start", c.start, "--end", c.end});
        EXPECT_EQ(result.status, 64) << c.name;
        EXPECT_EQ(result.out, "") << c.name;
        EXPECT_EQ(result.err, "log: the range is empty: --start " + c.start + " is not before --end " + c.end + "\n")
            << c.name;
    }
}

// The start time as the collection log prints it, with the blank before the
// offset or without, at offsets other than the tool's own zone: each names
// the same instant, five seconds after midnight UTC.
TEST(LogTool, AcceptsDatesWithTheirOffsetFromUTC) {
    testsupport::TempDir dir;
    testsupport::writeText(dir / "store", store({
        record(kDay + 4, "2025-03-07 00:00:04.000000+0000", "p", "s", plog::Level::Default, "before"),
        record(kDay + 5, "2025-03-07 00:00:05.000000+0000", "p", "s", plog::Level::Default, "at"),
    }));
    const std::string at = kHeader + "2025-03-07 00:00:05.000 Df p[42:1f] [s:zep] at\n";
    for (const char* start : {"2025-03-07 00:00:05 +0000", "2025-03-07 00:00:05+0000", "2025-03-07 01:00:05 +0100",
                              "2025-03-06 19:00:05-0500", "2025-03-07 05:30:05 +05:30"}) {
        // Tokyo is nine hours ahead: a date without an offset would be read there.
        const auto result = runProgram({kTool, "show", "--start", start},
                                       {{"NRV_LOG_STORE", dir / "store"}, {"TZ", "Asia/Tokyo"}});
        EXPECT_EQ(result.status, 0) << start << ": " << result.err;
        EXPECT_EQ(result.out, at) << start;
    }
    for (const char* bad : {"2025-03-07 00:00:05 +2400", "2025-03-07 00:00:05 +0060", "2025-03-07 +0000",
                            "2025-03-07 00:00:05 0000"}) {
        const auto result = show(dir / "store", {"--start", bad});
        EXPECT_EQ(result.status, 64) << bad;
    }
}

// A dense store, one record a second over half a day, with neighbours out of
// order by a moment as concurrent writers leave them: every range, however
// close its ends lie to a probe of the search, shows exactly what a scan of
// the whole store selects.
TEST(LogTool, BinarySearchOfADenseStoreAgreesWithAFullScan) {
    testsupport::TempDir dir;
    constexpr int kSeconds = 12 * 3600;
    std::vector<plog::Record> records;
    records.reserve(kSeconds);
    for (int i = 0; i < kSeconds; ++i) {
        // Every tenth pair swapped: written in the order of the stamps taken
        // by two writers a second apart.
        const int second = (i % 10 == 1) ? i - 1 : (i % 10 == 0 && i + 1 < kSeconds) ? i + 1 : i;
        records.push_back(record(kDay + second, std::string("s").append(std::to_string(second)), "zepd",
                                 "com.nerova.rivovovuvev", plog::Level::Default,
                                 std::string("m").append(std::to_string(second))));
    }
    testsupport::writeText(dir / "store", store(records));
    ASSERT_GT(std::filesystem::file_size(dir / "store"), 1u << 20);

    auto stamp = [](int second) {
        const auto t = static_cast<time_t>(kDay + second);
        tm utc{};
        gmtime_r(&t, &utc);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
        return std::string(text);
    };
    auto scan = [&](int from, int to) {
        std::string out = kHeader;
        for (const auto& r : records)
            if (r.unixTime >= kDay + from && r.unixTime < kDay + to) {
                std::string shown = r.timestamp;
                shown.resize(23, ' ');
                out += shown + " Df zepd[42:1f] [com.nerova.rivovovuvev:zep] " + r.message + "\n";
            }
        return out;
    };
    const std::pair<int, int> ranges[] = {
        {0, 1}, {1, 2}, {599, 601}, {600, 1200}, {3600, 3601}, {7199, 7800}, {20000, 20010},
        {21600, 23400}, {kSeconds - 601, kSeconds - 600}, {kSeconds - 2, kSeconds + 600},
    };
    for (const auto& [from, to] : ranges) {
        const auto result = show(dir / "store", {"--start", stamp(from), "--end", stamp(to)});
        EXPECT_EQ(result.status, 0) << from;
        const std::string expected = scan(from, to);
        EXPECT_EQ(result.out.size(), expected.size()) << "from " << from << " to " << to;
        EXPECT_TRUE(result.out == expected) << "from " << from << " to " << to;
    }
}

}  // namespace
