#include "Nerova_Diagnostic_Utility/ZEPCommandLine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "platform/system/SystemEnvironment.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ScopedEnv;
using testsupport::TempDir;

// 2025-03-07 14:03:09 UTC.
std::chrono::system_clock::time_point march7At140309Utc() {
    return std::chrono::system_clock::from_time_t(1741356189);
}

// Sets the local time zone for the life of the object.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const std::string& zone) : env_(std::in_place, "TZ", zone) { tzset(); }
    ~ScopedTimeZone() {
        env_.reset();
        tzset();
    }

private:
    std::optional<ScopedEnv> env_;
};

TEST(ZEPCommandLineArchiveName, RemovesUnsafeCharactersFromTheHostPart) {
    ScopedTimeZone utc("UTC");
    struct Case {
        const char* name;
        std::optional<std::string> host;
        std::string user;
        std::string expected;
    };
    const Case cases[] = {
        {"apostrophe and colon", "Ann's Mac: 2", "ann", "Anns Mac 2_20250307_140309_ZEP"},
        {"slash and colon", "Mac/Book:Pro", "ann", "MacBookPro_20250307_140309_ZEP"},
        {"right single quotation mark", "Ann\u2019s MacBook", "ann", "Anns MacBook_20250307_140309_ZEP"},
        {"left single quotation mark stays", "Ann\u2018s", "ann", "Ann\u2018s_20250307_140309_ZEP"},
        {"only removed characters", "/\\:*?\"><|'\u2019", "ann", "_20250307_140309_ZEP"},
        {"others stay", "host-1.local (x)", "ann", "host-1.local (x)_20250307_140309_ZEP"},
        {"no host name: login name", std::nullopt, "ann's", "anns_20250307_140309_ZEP"},
        {"empty host name is still a host name", "", "ann", "_20250307_140309_ZEP"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ZEPCommandLine::makeArchiveName(c.host, c.user, march7At140309Utc()), c.expected) << c.name;
    }
}

TEST(ZEPCommandLineArchiveName, StampsTheLocalTime) {
    {
        ScopedTimeZone plusOne("XYZ-1");  // one hour east of UTC
        EXPECT_EQ(ZEPCommandLine::makeArchiveName("h", "u", march7At140309Utc()), "h_20250307_150309_ZEP");
    }
    {
        ScopedTimeZone plusTen("XYZ-10");  // past midnight there
        EXPECT_EQ(ZEPCommandLine::makeArchiveName("h", "u", march7At140309Utc()), "h_20250308_000309_ZEP");
    }
}

TEST(ZEPCommandLineOutputFolder, RefusesMissingFilesAndUnwritableFolders) {
    TempDir dir;
    const std::string missing = dir / "missing";
    const std::string file = dir / "file.txt";
    testsupport::writeText(file, "x");

    EXPECT_NO_THROW(ZEPCommandLine::validateExistingWritableDirectory(dir.path()));
    try {
        ZEPCommandLine::validateExistingWritableDirectory(missing);
        ADD_FAILURE() << "missing folder accepted";
    } catch (const RunCLIOutputError& error) {
        EXPECT_EQ(error, RunCLIOutputError::directoryDoesNotExist(missing));
        EXPECT_EQ(error.detailText(), "output path does not exist: " + missing);
    }
    try {
        ZEPCommandLine::validateExistingWritableDirectory(file);
        ADD_FAILURE() << "file accepted";
    } catch (const RunCLIOutputError& error) {
        EXPECT_EQ(error, RunCLIOutputError::notADirectory(file));
        EXPECT_EQ(error.detailText(), "not a directory: " + file);
    }
}

TEST(ZEPCommandLineOutputFolder, RefusesAFolderThatCannotBeWritten) {
    TempDir dir;
    const std::string locked = dir / "locked";
    ASSERT_EQ(mkdir(locked.c_str(), 0500), 0);
    chmod(dir.path().c_str(), 0755);
    // Permission bits only count for an unprivileged user.
    const std::string outcome = testsupport::asUnprivilegedUser([&]() -> std::string {
        try {
            ZEPCommandLine::validateExistingWritableDirectory(locked);
            return "accepted";
        } catch (const RunCLIOutputError& error) {
            return error == RunCLIOutputError::directoryNotWritable(locked) ? error.detailText() : "other error";
        }
    });
    EXPECT_EQ(outcome, "directory is not writable: " + locked);
    chmod(locked.c_str(), 0700);
}

TEST(ZEPCommandLineOutputFolder, DefaultsToTheCurrentFolder) {
    TempDir dir;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const auto chosen = ZEPCommandLine::ensureCLIOutputDirectoryAndArchiveName(std::nullopt, "name_ZEP");
    const std::string here = platform::currentDirectoryPath();
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(chosen.first, here);
    EXPECT_EQ(chosen.second, "name_ZEP");

    const auto given = ZEPCommandLine::ensureCLIOutputDirectoryAndArchiveName(dir.path(), "other_ZEP");
    EXPECT_EQ(given, std::make_pair(dir.path(), std::string("other_ZEP")));
    EXPECT_THROW(ZEPCommandLine::ensureCLIOutputDirectoryAndArchiveName(dir / "missing", "n"), RunCLIOutputError);
}

TEST(ZEPCommandLineOutputFolder, ARemovedCurrentFolderIsAPrepareFailureNotAnEmptyPath) {
    TempDir dir;
    const std::string gone = dir / "gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    std::string message;
    bool wasOutputError = false;
    try {
        ZEPCommandLine::ensureCLIOutputDirectoryAndArchiveName(std::nullopt, "n");
    } catch (const RunCLIOutputError&) {
        wasOutputError = true;
    } catch (const std::exception& error) {
        message = error.what();
    }
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_FALSE(wasOutputError);
    EXPECT_EQ(message, "the current directory cannot be determined");
}

TEST(ZEPCommandLineOutputFolder, PrintsThePrepareErrorAfterTheUsageLine) {
    testing::internal::CaptureStderr();
    ZEPCommandLine::printRunCLIPrepareError(RunCLIOutputError::notADirectory("/tmp/a file"), "tool");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "usage: tool [--cli] [-h | --help] [--output_path <path> | --output_path=<path>]\n"
              "tool: error: not a directory: /tmp/a file\n");
}

TEST(ZEPCommandLineInit, NamesTheAgentServiceAfterTheUser) {
    ZEPCommandLine commandLine(nullptr, std::chrono::seconds(30));
    EXPECT_EQ(commandLine.serviceName(), "com.nerova.remote.zep." + platform::userName());
    EXPECT_EQ(commandLine.xpcTimeoutInterval(), std::chrono::seconds(30));
}

}  // namespace
