#include "collector/NerovaDiagnosticsWrapper.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/NerovaDiagnostics.h"
#include "platform/log/LogStore.h"

namespace plog = platform::log;

namespace {

class NerovaDiagnosticsWrapperTest : public ::testing::Test {
protected:
    void SetUp() override { plog::setSink(capture); }
    void TearDown() override { plog::setSink(nullptr); }
    // The records of the diagnostics category: queues of other tests' objects
    // (settings clients, connections) may still log into the process's sink.
    std::vector<plog::Record> diagnostics() const {
        std::vector<plog::Record> kept;
        for (auto& record : capture->records())
            if (record.category == "diagnostics") kept.push_back(record);
        return kept;
    }
    std::shared_ptr<plog::CaptureSink> capture = std::make_shared<plog::CaptureSink>();
};

}  // namespace

TEST_F(NerovaDiagnosticsWrapperTest, FormatsItselfSoPercentInArgumentsIsLoggedUnchanged) {
    const std::string archive = "host_100%d_20261209_213654_ZEP";
    const std::string folder = "/Users/a/100%s%n%@ done";
    const std::string key = "RegistrationKey";
    NerovaDiagnostics("zep", "Preparing ZEP collection (CLI mode).");
    NerovaDiagnostics("zep", "%@ is nil", key);
    NerovaDiagnostics("zep", "%@.zip created at %@", archive, folder);
    NerovaDiagnostics("remote zep", "%@", folder + "/" + archive);
    NerovaDiagnostics("zep", "%d of %s, 100%%", 3, "five");
    NerovaDiagnostics("zep", "copied 100%");

    auto records = diagnostics();
    const std::vector<std::string> expected = {
        "zep : Preparing ZEP collection (CLI mode).",
        "zep : RegistrationKey is nil",
        "zep : host_100%d_20261209_213654_ZEP.zip created at /Users/a/100%s%n%@ done",
        "remote zep : /Users/a/100%s%n%@ done/host_100%d_20261209_213654_ZEP",
        "zep : 3 of five, 100%",
        "zep : copied 100%",
    };
    ASSERT_EQ(records.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(records[i].message, expected[i]);
        EXPECT_EQ(records[i].subsystem, "com.nerova.rivovovuvev");
        EXPECT_EQ(records[i].category, "diagnostics");
        EXPECT_EQ(records[i].level, plog::Level::Default);
    }
}

TEST_F(NerovaDiagnosticsWrapperTest, BlankTagOrEmptyMessageWritesNothing) {
    NerovaDiagnostics("", "%@ is nil", std::string("key"));
    NerovaDiagnostics("  ", "text");
    NerovaDiagnostics("zep", "");
    NerovaDiagnostics("zep", " \n");
    EXPECT_TRUE(diagnostics().empty());
}

TEST_F(NerovaDiagnosticsWrapperTest, MissingOrMismatchedArgumentLogsErrorLineInstead) {
    NerovaDiagnostics("zep", "%@ and %@", std::string("one"));
    NerovaDiagnostics("zep", "%d", std::string("not a number"));
    auto records = diagnostics();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message.rfind("Failed to create log with format: %@ and %@; exception: ", 0), 0u)
        << records[0].message;
    EXPECT_EQ(records[1].message.rfind("Failed to create log with format: %d; exception: ", 0), 0u)
        << records[1].message;
    for (const auto& r : records) EXPECT_EQ(r.level, plog::Level::Error);
}

// Both forms in one translation unit: literals and std::strings pick the
// engine's form, std::string pointers the library's.
TEST_F(NerovaDiagnosticsWrapperTest, CoexistsWithTheLibraryVariadicForm) {
    const std::string tag = "zep", format = "%s";
    NerovaDiagnostics(&tag, &format, "library");
    NerovaDiagnostics(tag, format, "engine");
    auto records = diagnostics();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "zep : library");
    EXPECT_EQ(records[1].message, "zep : engine");
}
