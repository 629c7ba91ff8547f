#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "collector/DirectoryCopier.h"
#include "collector/FileCopier.h"
#include "collector/StatusLogger.h"
#include "platform/log/LogStore.h"
#include "platform/system/SystemEnvironment.h"
#include "ProductTreeTest.h"
#include "support/TestSupport.h"

using testsupport::exists;
using testsupport::readText;
using testsupport::writeText;

namespace {

class CopierTest : public ProductTreeTest {
protected:
    void copyFiles(const std::vector<std::string>& sources, const std::string& folder = "out") {
        FileCopier(folder, sources, logger, staging).performCopy();
    }
};

}  // namespace

TEST_F(CopierTest, SymbolicLinksAreRefusedExceptTheSystemLinks) {
    writeText(root + "/private/var/log/install.log", "installed\n");
    std::filesystem::create_directory_symlink("private/var", root + "/var");
    writeText(root + "/elsewhere/secret.log", "secret\n");
    std::filesystem::create_directories(root + "/Library");
    std::filesystem::create_directory_symlink("../elsewhere", root + "/Library/Logs");
    writeText(root + "/Library/Preferences/real.plist", "x");
    std::filesystem::create_symlink(root + "/Library/Preferences/real.plist", root + "/Library/Preferences/com.nerova.ln.plist");

    copyFiles({"/var/log/install.log", "/Library/Logs/secret.log", "/Library/Preferences/com.nerova.ln.plist"});

    EXPECT_EQ(readText(staging + "/out/install.log"), "installed\n");
    EXPECT_FALSE(exists(staging + "/out/secret.log"));
    EXPECT_FALSE(exists(staging + "/out/com.nerova.ln.plist"));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Success: Collected install.log",
                           "Failure: Unexpectedly found symlink for secret.log. Skipping file...",
                           "Failure: Unexpectedly found symlink for com.nerova.ln.plist. Skipping file...",
                       }));
}

TEST_F(CopierTest, NameClashesNeverOverwrite) {
    const std::string user = platform::userName();
    writeText(root + "/a/crash.ips", "first\n");
    writeText(root + "/b/crash.ips", "second\n");
    writeText(root + "/c/crash.ips", "first\n");   // same as a: skipped
    writeText(root + "/d/crash.ips", "third\n");   // both names taken: refused
    copyFiles({"/a/crash.ips", "/b/crash.ips", "/c/crash.ips", "/d/crash.ips"});

    EXPECT_EQ(readText(staging + "/out/crash.ips"), "first\n");
    EXPECT_EQ(readText(staging + "/out/" + user + "-crash.ips"), "second\n");
    const auto l = lines();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0], "Success: Collected crash.ips");
    EXPECT_EQ(l[1], "Success: Collected crash.ips");
    EXPECT_EQ(l[2].rfind("Failure: Unable to copy source at crash.ips -> ", 0), 0u) << l[2];
}

TEST_F(CopierTest, SourceRulesForNamesWildcardsAndMissingFiles) {
    writeText(root + "/logs/a:b.log", "colon\n");
    writeText(root + "/logs/.DS_Store", "finder\n");
    writeText(root + "/logs/line\nfeed.log", "lf\n");
    writeText(root + "/logs/system.log", "s0\n");
    writeText(root + "/logs/system.log.1", "s1\n");
    writeText(root + "/logs/r\xC3\xA9sum\xC3\xA9 1.log", "utf8\n");
    copyFiles({"/logs/a:b.log", "/logs/.DS_Store", "/logs/line\nfeed.log", "/logs/system.log*", "/logs/none*.gz",
               "/logs/missing.log", "/logs/r\xC3\xA9sum\xC3\xA9 1.log"});

    EXPECT_EQ(readText(staging + "/out/a-b.log"), "colon\n");
    EXPECT_FALSE(exists(staging + "/out/.DS_Store"));
    EXPECT_EQ(readText(staging + "/out/line\nfeed.log"), "lf\n");
    EXPECT_EQ(readText(staging + "/out/system.log.1"), "s1\n");
    EXPECT_EQ(readText(staging + "/out/r\xC3\xA9sum\xC3\xA9 1.log"), "utf8\n");
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Success: Collected a:b.log",
                           "Success: Collected line\\nfeed.log",
                           "Success: Collected system.log",
                           "Success: Collected system.log.1",
                           "Warning: No matching files exist for /logs/none*.gz",
                           "Warning: missing.log does not exist",
                           "Success: Collected r\xC3\xA9sum\xC3\xA9 1.log",
                       }));
}

TEST_F(CopierTest, DirectoriesAreCopiedWithoutHiddenItems) {
    writeText(root + "/Library/Logs/Agent/agent.log", "a\n");
    writeText(root + "/Library/Logs/Agent/.hidden", "h\n");
    writeText(root + "/Library/Logs/Agent/.cache/x", "h\n");
    writeText(root + "/Library/Logs/Agent/archive/agent.1.log", "a1\n");
    std::filesystem::create_directories(root + "/Library/Logs/Agent/empty");

    DirectoryCopier("rms/agent", "Agent Logs", {"/Library/Logs/Agent/", "/Library/Logs/Gone/"}, logger, staging)
        .performCopy();

    EXPECT_EQ(readText(staging + "/rms/agent/agent.log"), "a\n");
    EXPECT_EQ(readText(staging + "/rms/agent/archive/agent.1.log"), "a1\n");
    EXPECT_FALSE(exists(staging + "/rms/agent/.hidden"));
    EXPECT_FALSE(exists(staging + "/rms/agent/.cache"));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Success: Collected archive",
                           "Warning: Agent Logs directory is empty",
                           "Success: Collected Agent",
                           "Warning: Agent Logs directory does not exist",
                       }));
}

TEST_F(CopierTest, UnreadableFolderIsAFailureLine) {
    writeText(root + "/Library/Logs/Locked/x.log", "x\n");
    std::filesystem::permissions(root + "/Library/Logs/Locked", std::filesystem::perms::none);
    // Permission bits only count for an unprivileged user, who must still
    // reach the tree, the staging folder and the log.
    chmod(tmp.path().c_str(), 0777);
    chmod(staging.c_str(), 0777);
    const std::string log = testsupport::asUnprivilegedUser([&] {
        DirectoryCopier("locked", "Locked Logs", {"/Library/Logs/Locked"}, logger, staging).performCopy();
        return logger->progressStatus();
    });
    const auto l = testsupport::lines(log);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].rfind("Failure: Issue iterating through Locked Logs -> ", 0), 0u) << l[0];
}

TEST_F(CopierTest, SpecialFilesAreRefusedInsteadOfBlocking) {
    writeText(root + "/logs/keep.log", "k\n");
    ASSERT_EQ(mkfifo((root + "/logs/pipe.log").c_str(), 0644), 0);
    copyFiles({"/logs/pipe.log", "/logs/keep.log"});
    const auto l = lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].rfind("Failure: Unable to copy source at pipe.log -> ", 0), 0u) << l[0];
    EXPECT_EQ(l[1], "Success: Collected keep.log");
}

TEST_F(CopierTest, FilesThatFailInsideAFolderAreNamedAndTheFolderIsNotReportedCollected) {
    writeText(root + "/Library/Logs/Agent/a.log", "a\n");
    writeText(root + "/Library/Logs/Agent/sub/b.log", "b\n");
    writeText(root + "/Library/Logs/Agent/sub/locked.log", "secret\n");
    writeText(root + "/Library/Logs/Agent/ok/c.log", "c\n");
    chmod((root + "/Library/Logs/Agent/sub/locked.log").c_str(), 0);
    writeText(tmp / "outside/key.pem", "key\n");
    std::filesystem::create_symlink(tmp / "outside/key.pem", root + "/Library/Logs/Agent/sub/link.pem");
    chmod(tmp.path().c_str(), 0777);
    chmod(staging.c_str(), 0777);
    const auto l = testsupport::lines(testsupport::asUnprivilegedUser([&] {
        DirectoryCopier("agent", "Agent Logs", {"/Library/Logs/Agent"}, logger, staging).performCopy();
        return logger->progressStatus();
    }));
    // The subfolder and its parent lost a file: neither says "Collected";
    // the untouched subfolder still does.
    EXPECT_EQ(l, (std::vector<std::string>{
                     "Success: Collected ok",
                     "Failure: Unexpectedly found symlink for link.pem. Skipping file...",
                     "Failure: Unable to copy source at locked.log -> The file \u201Clocked.log\u201D couldn\u2019t be "
                     "opened because you don\u2019t have permission to view it.",
                 }));
    EXPECT_EQ(readText(staging + "/agent/sub/b.log"), "b\n");
    EXPECT_FALSE(exists(staging + "/agent/sub/link.pem"));
}

TEST_F(CopierTest, AFolderSwappedForALinkWhileCopyingNeverLetsTheLinkTargetIn) {
    writeText(root + "/Library/Logs/Agent/cur/a.log", "public\n");
    writeText(tmp / "secret/a.log", "secret\n");
    std::filesystem::create_directory_symlink(tmp / "secret", root + "/Library/Logs/Agent/alt");
    const std::string cur = root + "/Library/Logs/Agent/cur", alt = root + "/Library/Logs/Agent/alt";
    std::atomic<bool> stop{false};
    // "cur" flips between the real folder and a link to the secret folder.
    std::thread swapper([&] {
        while (!stop) renameat2(AT_FDCWD, cur.c_str(), AT_FDCWD, alt.c_str(), RENAME_EXCHANGE);
    });
    int leaked = 0;
    for (int i = 0; i < 400; ++i) {
        const std::string folder = "out" + std::to_string(i);
        FileCopier(folder, {"/Library/Logs/Agent/cur/a.log"}, nullptr, staging).performCopy();
        if (readText(staging + "/" + folder + "/a.log") == "secret\n") ++leaked;
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(leaked, 0);
}
