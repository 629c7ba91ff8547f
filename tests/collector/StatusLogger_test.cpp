#include <gtest/gtest.h>

#include <regex>

#include "collector/StatusLogger.h"
#include "platform/log/LogStore.h"
#include "support/TestSupport.h"

using testsupport::readText;
using testsupport::TempDir;

namespace {

class Recording : public StatusLogger {
public:
    using StatusLogger::StatusLogger;
    void updateStatus(const std::string& line) override {
        seen.push_back(line);
        StatusLogger::updateStatus(line);
    }
    std::vector<std::string> seen;
};

class StatusLoggerTest : public ::testing::Test {
protected:
    void SetUp() override { platform::log::setSink(capture); }
    void TearDown() override { platform::log::setSink(nullptr); }
    std::shared_ptr<platform::log::CaptureSink> capture = std::make_shared<platform::log::CaptureSink>();
    TempDir tmp;
};

}  // namespace

TEST_F(StatusLoggerTest, RunLogKeepsEarlierLinesAboveTheHeaderAndMirrorsToTheUnifiedLog) {
    testsupport::ScopedEnv tz("TZ", "America/New_York");
    tzset();
    StatusLogger logger(tmp / "run.log");
    logger.indicateWarning("early");
    ASSERT_TRUE(logger.writeCollectionLog(logger.collectionLogURL()));
    logger.indicateSuccess("Collected hosts");
    logger.indicateFailure("Unable to copy source at x -> why");
    logger.updateStatus("Checking Archives for their integrity...");

    const std::string text = readText(tmp / "run.log");
    EXPECT_EQ(text, logger.progressStatus());
    const std::regex layout(
        "Warning: early\n"
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000 Begin collection\\.\\.\\. \n\n"
        "Success: Generated Nerova Diagnostic Utility\\.log\n\n"
        "Success: Collected hosts\n"
        "Failure: Unable to copy source at x -> why\n"
        "Checking Archives for their integrity\\.\\.\\.\n");
    EXPECT_TRUE(std::regex_match(text, layout)) << text;

    std::vector<std::tuple<platform::log::Level, std::string>> zep;
    for (const auto& r : capture->records())
        if (r.subsystem == "com.nerova.rivovovuvev" && r.category == "zep") zep.emplace_back(r.level, r.message);
    using L = platform::log::Level;
    const std::vector<std::tuple<L, std::string>> expected = {
        {L::Debug, "Warning: early"},
        {L::Default, "Success: Generated Nerova Diagnostic Utility.log\n"},
        {L::Default, "Success: Collected hosts"},
        {L::Error, "Failure: Unable to copy source at x -> why"},
    };
    EXPECT_EQ(zep, expected);
}

TEST_F(StatusLoggerTest, UnwritableLogKeepsTheFailureTextForTheNextWrite) {
    const std::string folder = tmp / "later";
    StatusLogger logger(folder + "/run.log");
    EXPECT_FALSE(logger.writeCollectionLog(logger.collectionLogURL()));
    logger.indicateSuccess("one");
    EXPECT_NE(logger.progressStatus().find("Failure: Unable to create file at " + folder + "/run.log\n"), std::string::npos);
    EXPECT_NE(logger.progressStatus().find("Success: one\nFailure updating log file: "), std::string::npos);

    testsupport::writeText(folder + "/placeholder", "");
    logger.indicateSuccess("two");
    EXPECT_EQ(readText(folder + "/run.log"), logger.progressStatus());
}

TEST_F(StatusLoggerTest, SubclassOverrideReceivesPrefixedLines) {
    Recording logger(tmp / "run.log");
    logger.indicateWarning("w");
    logger.indicateFailure("f");
    logger.indicateSuccess("s");
    EXPECT_EQ(logger.seen, (std::vector<std::string>{"Warning: w", "Failure: f", "Success: s"}));
}

TEST_F(StatusLoggerTest, FileStaysEqualToTheTextWhenSomeoneElseRewritesIt) {
    StatusLogger logger(tmp / "run.log");
    for (int i = 0; i < 2000; ++i) logger.indicateSuccess("Collected file " + std::to_string(i));
    EXPECT_EQ(readText(tmp / "run.log"), logger.progressStatus());
    // Another writer replaces the file: the next line must restore the whole text,
    // not append to the stranger's content.
    testsupport::writeText(tmp / "run.log", "foreign\n");
    logger.indicateSuccess("after");
    EXPECT_EQ(readText(tmp / "run.log"), logger.progressStatus());
}
