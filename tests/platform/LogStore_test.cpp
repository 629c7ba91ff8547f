#include "platform/log/LogStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>
#include <set>
#include <thread>

#include "support/TestSupport.h"

namespace plog = platform::log;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

std::vector<plog::Record> readStore(const std::string& path) {
    std::vector<plog::Record> records;
    for (const auto& line : testsupport::lines(testsupport::readText(path))) {
        auto record = plog::parseLine(line);
        EXPECT_TRUE(record.has_value()) << "not a whole record: " << line;
        if (record) records.push_back(*record);
    }
    return records;
}

// Every test starts and ends without a sink, writing to its own store file.
class LogStoreTest : public ::testing::Test {
protected:
    void SetUp() override { plog::setSink(nullptr); }
    void TearDown() override { plog::setSink(nullptr); }
    TempDir dir;
};

}  // namespace

TEST(LogStoreLine, RoundTripKeepsEveryFieldAndEscapesSeparators) {
    struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"plain", "Copied /Library/Logs"},
        {"empty", ""},
        {"tab", "a\tb"},
        {"line feed", "first\nsecond\n"},
        {"carriage return", "a\r\nb"},
        {"backslash", "C:\\path\\"},
        {"escape look-alikes", "\\t is not a tab, \\n not a line feed, \\\\"},
        {"lone trailing backslash", "ends with \\"},
        {"utf-8 and percent", "Zürich 100% %{public}@"},
        // Separators at and past the eighth byte, and after long plain runs.
        {"separators past eight bytes", "0123456\t89abcdef\\ghijklmnopq\r\n"},
        {"long plain run, then a tab", std::string(40, 'x') + "\t" + std::string(7, 'y')},
    };
    for (const auto& c : cases) {
        plog::Record record;
        record.timestamp = "2026-12-09 21:36:54.123456+0100";
        record.unixTime = 1796848614.123456;
        record.pid = 4242;
        record.threadID = 987654321012ULL;
        record.process = "Nerova Diagnostic\tUtility";
        record.subsystem = "com.nerova.rivovovuvev";
        record.category = c.text;
        record.level = plog::Level::Fault;
        record.message = c.text;

        const std::string line = plog::renderLine(record);
        EXPECT_EQ(line.find_first_of("\n\r"), std::string::npos) << c.name;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 8) << c.name;

        for (const std::string& form : {line, line + "\n"}) {
            auto parsed = plog::parseLine(form);
            ASSERT_TRUE(parsed.has_value()) << c.name;
            EXPECT_EQ(parsed->timestamp, record.timestamp) << c.name;
            EXPECT_NEAR(parsed->unixTime, record.unixTime, 1e-6) << c.name;
            EXPECT_EQ(parsed->pid, record.pid) << c.name;
            EXPECT_EQ(parsed->threadID, record.threadID) << c.name;
            EXPECT_EQ(parsed->process, record.process) << c.name;
            EXPECT_EQ(parsed->subsystem, record.subsystem) << c.name;
            EXPECT_EQ(parsed->category, record.category) << c.name;
            EXPECT_EQ(parsed->level, record.level) << c.name;
            EXPECT_EQ(parsed->message, record.message) << c.name;
        }
    }
}

TEST(LogStoreLine, RejectsLinesThatAreNotWholeRecords) {
    plog::Record record;
    record.timestamp = "t";
    record.unixTime = 1.5;
    record.message = "m";
    const std::string good = plog::renderLine(record);
    ASSERT_TRUE(plog::parseLine(good));

    struct Case {
        const char* name;
        std::string line;
    } cases[] = {
        {"empty", ""},
        {"field missing", good.substr(0, good.rfind('\t'))},
        {"field too many", good + "\textra"},
        {"unknown level", std::regex_replace(good, std::regex("\tDefault\t"), "\tLoud\t")},
        {"bad pid", std::regex_replace(good, std::regex("\t0\t0\t"), "\tx\t0\t")},
        {"two records", good + "\n" + good},
    };
    for (const auto& c : cases) EXPECT_FALSE(plog::parseLine(c.line)) << c.name;

    for (auto level : {plog::Level::Default, plog::Level::Info, plog::Level::Debug, plog::Level::Error, plog::Level::Fault})
        EXPECT_EQ(plog::levelFromName(plog::levelName(level)), level);
}

TEST_F(LogStoreTest, StoreOverrideCreatesFolderAndFollowsChanges) {
    const std::string first = dir / "a/b/unified.log";
    const std::string second = dir / "c/unified.log";
    {
        ScopedEnv store("NRV_LOG_STORE", first);
        EXPECT_EQ(plog::defaultStorePath(), first);
        plog::write("com.nerova.rivovovuvev", "zep", plog::Level::Info, "one");
        plog::write("com.nerova.rivovovuvev", "zep", plog::Level::Error, "two\nlines");
    }
    {
        ScopedEnv store("NRV_LOG_STORE", second);
        plog::write("sub", "cat", plog::Level::Default, "three");
        // A removed store file is made again, not written through a stale descriptor.
        std::filesystem::remove(second);
        plog::write("sub", "cat", plog::Level::Default, "four");
    }

    auto records = readStore(first);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "one");
    EXPECT_EQ(records[0].level, plog::Level::Info);
    EXPECT_EQ(records[0].subsystem, "com.nerova.rivovovuvev");
    EXPECT_EQ(records[0].category, "zep");
    EXPECT_EQ(records[0].pid, static_cast<int>(getpid()));
    EXPECT_EQ(records[1].message, "two\nlines");

    records = readStore(second);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "four");
}

// A batch holds the thread's store records until its outermost scope ends;
// a record for another store sends the held ones to theirs first, and a
// batch past its size bound goes out early, whole and in order.
TEST_F(LogStoreTest, BatchedRecordsReachTheStoreTogetherWhenTheBatchEnds) {
    const std::string first = dir / "first.log";
    const std::string second = dir / "second.log";
    auto messages = [](const std::string& path) {
        std::vector<std::string> found;
        for (const auto& record : readStore(path)) found.push_back(record.message);
        return found;
    };
    {
        ScopedEnv store("NRV_LOG_STORE", first);
        plog::Batch outer;
        plog::write("sub", "cat", plog::Level::Default, "one");
        {
            plog::Batch inner;
            plog::write("sub", "cat", plog::Level::Error, "two");
            plog::write("sub", "cat", plog::Level::Debug, "dropped: no sink");
        }
        EXPECT_EQ(messages(first), std::vector<std::string>{});
        {
            ScopedEnv other("NRV_LOG_STORE", second);
            plog::write("sub", "cat", plog::Level::Default, "three");
            EXPECT_EQ(messages(first), (std::vector<std::string>{"one", "two"}));
        }
        plog::write("sub", "cat", plog::Level::Default, "four");
        EXPECT_EQ(messages(second), std::vector<std::string>{"three"});
        EXPECT_EQ(messages(first), (std::vector<std::string>{"one", "two"}));
    }
    EXPECT_EQ(messages(first), (std::vector<std::string>{"one", "two", "four"}));

    const std::string many = dir / "many.log";
    ScopedEnv store("NRV_LOG_STORE", many);
    std::vector<std::string> expected;
    {
        plog::Batch batch;
        for (int i = 0; i < 100; ++i) {
            expected.push_back(std::to_string(i) + std::string(500, 'x'));
            plog::write("sub", "cat", plog::Level::Default, expected.back());
        }
        EXPECT_FALSE(messages(many).empty());
        EXPECT_LT(messages(many).size(), expected.size());
    }
    EXPECT_EQ(messages(many), expected);
}

TEST_F(LogStoreTest, TimestampIsLocalTimeWithMicrosecondsAndZoneOffset) {
    ScopedEnv tz("TZ", "XST-05:30");
    tzset();
    auto capture = std::make_shared<plog::CaptureSink>();
    plog::setSink(capture);
    plog::write("s", "c", plog::Level::Default, "now");
    plog::setSink(nullptr);
    auto records = capture->records();
    ASSERT_EQ(records.size(), 1u);
    const auto& r = records[0];

    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.timestamp, m,
                                 std::regex(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.(\d{6})\+0530)")))
        << r.timestamp;
    const time_t seconds = static_cast<time_t>(std::floor(r.unixTime));
    tm local{};
    localtime_r(&seconds, &local);
    char expected[32];
    strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_EQ(m[1].str(), expected);
    EXPECT_NEAR(std::stoi(m[2].str()) / 1e6, r.unixTime - std::floor(r.unixTime), 2e-6);
    EXPECT_EQ(r.threadID, static_cast<std::uint64_t>(gettid()));
}

TEST_F(LogStoreTest, SinkReceivesRecordsUntilRemoved) {
    const std::string store = dir / "unified.log";
    ScopedEnv env("NRV_LOG_STORE", store);
    auto capture = std::make_shared<plog::CaptureSink>();
    plog::setSink(capture);
    EXPECT_TRUE(plog::isEnabled(plog::Level::Debug));
    plog::write("s", "c", plog::Level::Debug, "captured");
    plog::setSink(nullptr);
    // The store keeps every level that `log show` can print; it never prints
    // debug records, so without a sink they are dropped.
    EXPECT_FALSE(plog::isEnabled(plog::Level::Debug));
    for (auto level : {plog::Level::Default, plog::Level::Info, plog::Level::Error, plog::Level::Fault})
        EXPECT_TRUE(plog::isEnabled(level)) << plog::levelName(level);
    plog::write("s", "c", plog::Level::Debug, "dropped");
    plog::write("s", "c", plog::Level::Default, "stored");

    auto captured = capture->records();
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0].message, "captured");
    auto stored = readStore(store);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].message, "stored");
    capture->clear();
    EXPECT_TRUE(capture->records().empty());
}

TEST_F(LogStoreTest, UnwritableStoreNeitherCrashesNorBlocks) {
    testsupport::writeText(dir / "file", "x");
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir / "file/unified.log", fifo, std::string("/proc/version")}) {
        ScopedEnv env("NRV_LOG_STORE", path);
        // Detached, so a writer stuck in open or write fails the test instead of hanging it.
        auto finished = std::make_shared<std::promise<void>>();
        auto done = finished->get_future();
        std::thread([finished] {
            for (int i = 0; i < 3; ++i) plog::write("s", "c", plog::Level::Default, "dropped");
            finished->set_value();
        }).detach();
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready) << path;
    }
}

TEST_F(LogStoreTest, ConcurrentWritersProduceWholeLines) {
    const std::string store = dir / "unified.log";
    ScopedEnv env("NRV_LOG_STORE", store);
    constexpr int kProcesses = 3, kThreads = 6, kRecords = 300;
    // Long messages make a torn or interleaved write visible.
    auto message = [](int proc, int thread, int i) {
        return std::to_string(proc) + ":" + std::to_string(thread) + ":" + std::to_string(i) + ":" +
               std::string(1500 + i % 7 * 300, static_cast<char>('a' + thread)) + "\ttail";
    };
    auto writeAll = [&](int proc) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kRecords; ++i) plog::write("s", "c", plog::Level::Default, message(proc, t, i));
            });
        for (auto& th : threads) th.join();
    };
    std::vector<pid_t> children;
    for (int p = 1; p < kProcesses; ++p) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            writeAll(p);
            _exit(0);
        }
        children.push_back(child);
    }
    writeAll(0);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    auto records = readStore(store);
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kProcesses * kThreads * kRecords));
    std::set<std::string> seen;
    for (const auto& r : records) seen.insert(r.message);
    for (int p = 0; p < kProcesses; ++p)
        for (int t = 0; t < kThreads; ++t)
            for (int i = 0; i < kRecords; ++i) ASSERT_TRUE(seen.count(message(p, t, i))) << p << ":" << t << ":" << i;
}

// Process and thread numbers are remembered between records; a forked child
// must not carry its parent's. The child's only thread is the one that forked,
// and its number is the child's process number.
TEST_F(LogStoreTest, ForkedChildRecordsCarryTheChildsNumbers) {
    const std::string store = dir / "unified.log";
    ScopedEnv env("NRV_LOG_STORE", store);
    plog::write("s", "c", plog::Level::Default, "parent");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        plog::write("s", "c", plog::Level::Default, "child");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    plog::write("s", "c", plog::Level::Default, "parent again");

    auto records = readStore(store);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].message, "child");
    EXPECT_EQ(records[1].pid, static_cast<int>(child));
    EXPECT_EQ(records[1].threadID, static_cast<std::uint64_t>(child));
    for (const auto* r : {&records[0], &records[2]}) {
        EXPECT_EQ(r->pid, static_cast<int>(getpid())) << r->message;
        EXPECT_EQ(r->threadID, static_cast<std::uint64_t>(gettid())) << r->message;
    }
}

// The system store is chosen only when the process may write it; others fall
// back to their state folder. Root can always write /var/log, so the
// fallback is checked in a child that drops to an unprivileged user.
TEST_F(LogStoreTest, DefaultPathFallsBackToStateFolderWhenSystemStoreIsNotWritable) {
    if (geteuid() != 0 && access("/var/log/nerova", W_OK) == 0) GTEST_SKIP() << "system store writable";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        if (access("/var/log/nerova/unified.log", W_OK) == 0) _exit(3);
        unsetenv("NRV_LOG_STORE");
        setenv("XDG_STATE_HOME", "/state", 1);
        setenv("HOME", "/home/someone", 1);
        std::string result = plog::defaultStorePath() + "|";
        unsetenv("XDG_STATE_HOME");
        result += plog::defaultStorePath();
        // Records follow a change of the state folder they were stored under.
        char base[] = "/tmp/nrv-logstore-XXXXXX";
        if (!mkdtemp(base)) _exit(5);
        for (const char* folder : {"one", "two"}) {
            setenv("XDG_STATE_HOME", (std::string(base) + "/" + folder).c_str(), 1);
            plog::write("sub", "cat", plog::Level::Default, folder);
        }
        for (const char* folder : {"one", "two"}) {
            result += "|";
            for (const auto& record : readStore(std::string(base) + "/" + folder + "/nerova/unified.log"))
                result += record.message;
        }
        std::error_code ignored;
        std::filesystem::remove_all(base, ignored);
        if (::write(fds[1], result.data(), result.size()) < 0) _exit(4);
        _exit(0);
    }
    close(fds[1]);
    std::string result;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ(result, "/state/nerova/unified.log|/home/someone/.local/state/nerova/unified.log|one|two");
}
