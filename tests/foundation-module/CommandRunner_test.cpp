#include "foundation-module/CommandRunner.h"

#include <chrono>

#include <gtest/gtest.h>

namespace {

using Result = CommandRunner::CommandRunnerResult::Result;

std::vector<std::int64_t> exitCodes(const CommandRunner::CommandRunnerResult& r) {
    std::vector<std::int64_t> codes;
    for (const auto& e : r.commandRunResults) codes.push_back(e.exitCode);
    return codes;
}

TEST(CommandRunnerTest, RunsInOrderAndStopsAtAFailureUnlessToldToGoOn) {
    struct Case {
        const char* name;
        std::vector<std::string> commands;
        bool continueOnError;
        std::size_t resultIndex;
        std::vector<std::int64_t> codes;
    } cases[] = {
        {"empty", {}, false, 0, {}},
        {"all succeed", {"echo one", "echo two"}, false, 0, {0, 0}},
        {"stop at failure", {"exit 3", "echo never"}, false, 2, {3}},
        {"go on after failure", {"exit 3", "echo after", "exit 4"}, true, 0, {3, 0, 4}},
    };
    for (const auto& c : cases) {
        const auto r = CommandRunner(c.commands, 30, c.continueOnError).run();
        EXPECT_EQ(r.result.value.index(), c.resultIndex) << c.name;
        EXPECT_EQ(exitCodes(r), c.codes) << c.name;
    }
    const auto r = CommandRunner({"echo one", "printf two"}, 30, false).run();
    ASSERT_EQ(r.commandRunResults.size(), 2u);
    EXPECT_EQ(r.commandRunResults[0].stdOut, "one\n");
    EXPECT_EQ(r.commandRunResults[1].stdOut, "two");
    EXPECT_GE(r.commandRunResults[0].duration, 1) << "rounded up to whole milliseconds";
}

TEST(CommandRunnerTest, CapturesBothStreamsWhole) {
    struct Case {
        const char* command;
        std::string out, err;
    } cases[] = {
        {"echo oops >&2", "", "oops\n"},
        {"printf 'a\\xff\\xe2\\x82'", "a\xEF\xBF\xBD\xEF\xBF\xBD", ""},
        {"exec 1>&-; sleep 0.2; echo after >&2", "", "after\n"},
    };
    for (const auto& c : cases) {
        const auto r = CommandRunner({c.command}, 30, false).run();
        ASSERT_EQ(r.commandRunResults.size(), 1u) << c.command;
        EXPECT_EQ(r.commandRunResults[0].stdOut, c.out) << c.command;
        EXPECT_EQ(r.commandRunResults[0].stdErr, c.err) << c.command;
    }
}

TEST(CommandRunnerTest, LargeOutputOnBothStreamsDoesNotStall) {
    // The error stream fills its pipe first: a reader that drained standard
    // output to its end before touching standard error would hang here.
    const auto r = CommandRunner({"head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 104857600 /dev/zero | tr '\\0' a"},
                                 120, false)
                       .run();
    ASSERT_EQ(r.commandRunResults.size(), 1u);
    EXPECT_EQ(r.commandRunResults[0].stdOut.size(), 104857600u);
    EXPECT_EQ(r.commandRunResults[0].stdErr.size(), 1048576u);
    EXPECT_EQ(r.commandRunResults[0].stdOut.find_first_not_of('a'), std::string::npos);
}

TEST(CommandRunnerTest, TheDeadlineSpansTheWholeList) {
    // run() is called on the test's main thread: the deadline must still fire.
    struct Case {
        const char* name;
        std::vector<std::string> commands;
        std::size_t maxEntries;
    } cases[] = {
        {"a command that never ends", {"sleep 30"}, 0},
        // Each command alone is within the limit, all of them are not. The
        // first one ends in time unless the machine is slow to start it.
        {"the time between commands counts", {"sleep 0.7", "sleep 0.7", "echo late"}, 1},
        {"a child of the command is ended too", {"sleep 30 & wait"}, 0},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const auto r = CommandRunner(c.commands, 1, false).run();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(std::holds_alternative<Result::timedOut>(r.result.value)) << c.name;
        EXPECT_LE(r.commandRunResults.size(), c.maxEntries) << c.name;
        EXPECT_LT(took, std::chrono::seconds(5)) << c.name;
    }
}

TEST(CommandRunnerTest, WrapperCarriesEveryCase) {
    std::vector<CommandRunner::CommandRunnerResult> results = {
        {{Result::success{}}, {{"out", "err", 0, 12}}},
        {{Result::timedOut{}}, {}},
        {{Result::commandError{}}, {{"", "bad", 2, 1}}},
        {{Result::internalError{"could not launch"}}, {}},
    };
    for (const auto& r : results) {
        NRVDictionary coder;
        CommandRunner::CommandRunnerResult::ObjcWrapper(r).encode(coder);
        auto back = CommandRunner::CommandRunnerResult::ObjcWrapper::initWithCoder(coder);
        ASSERT_TRUE(back) << r.toJSON().dump();
        EXPECT_EQ(back->result, r);
    }
    EXPECT_EQ(results[3].toJSON()["result"], nlohmann::json::parse(R"({"internalError": {"_0": "could not launch"}})"));
    EXPECT_EQ(results[1].toJSON()["result"], nlohmann::json::parse(R"({"timedOut": {}})"));

    for (const char* bad : {R"({"result": {}, "commandRunResults": []})",
                            R"({"result": {"success": {}, "timedOut": {}}, "commandRunResults": []})",
                            R"({"result": {"internalError": {"_0": 1}}, "commandRunResults": []})",
                            R"({"result": {"success": {}}, "commandRunResults": [{"stdOut": 1}]})",
                            R"({"result": {"done": {}}, "commandRunResults": []})"})
        EXPECT_FALSE(CommandRunner::CommandRunnerResult::fromJSON(nlohmann::json::parse(bad))) << bad;
}

}  // namespace
