// The command executor, the zip archiver and the gzip repair, each run
// against small programs of the test's own where a failure must be forced.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "collector/CommandExecutor.h"
#include "collector/FileArchiver.h"
#include "collector/RecoveryUtility.h"
#include "collector/StatusLogger.h"
#include "platform/log/LogStore.h"
#include "ProductTreeTest.h"
#include "support/TestSupport.h"

using testsupport::exists;
using testsupport::readText;
using testsupport::writeText;

namespace {

using WorkersTest = ProductTreeTest;

}  // namespace

TEST_F(WorkersTest, CommandOutputLandsInItsFileWithProductPathsResolved) {
    writeText(root + "/Library/Nerova Anti-Virus/IDE/a.ide", "");
    script("/bin/lister", "echo \"args:$#\"; for a in \"$@\"; do echo \"[$a]\"; done; ls \"$2\"; echo oops >&2; cat\n");
    CommandExecutor("/bin/lister", "qrb", {"-al", "/Library/Nerova Anti-Virus/IDE/"}, "ides.txt", logger, staging)
        .execCmdToOutput();
    CommandExecutor("/bin/lister", "system", {}, "none.txt", logger, staging).execCmdToOutput();
    CommandExecutor("/usr/local/bin/absent", "qrb", {"--version"}, "absent.txt", logger, staging).execCmdToOutput();

    EXPECT_EQ(readText(staging + "/qrb/ides.txt"),
              "args:2\n[-al]\n[" + root + "/Library/Nerova Anti-Virus/IDE/]\na.ide\n");
    EXPECT_EQ(readText(staging + "/system/none.txt"), "args:0\n");
    EXPECT_FALSE(exists(staging + "/qrb/absent.txt"));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Success: Generated output of lister command to ides.txt",
                           "Success: Generated output of lister command to none.txt",
                           "Warning: /usr/local/bin/absent command path does not exist",
                       }));
}

TEST_F(WorkersTest, CommandThatNeverEndsIsStoppedWithItsChildrenAndKeepsItsOutput) {
    script("/bin/hang", "echo started; sleep 300 & sleep 300\n");
    CommandExecutor executor("/bin/hang", "system", {}, "hang.txt", logger, staging);
    executor.setTimeLimit(std::chrono::seconds(1));
    const auto start = std::chrono::steady_clock::now();
    executor.execCmdToOutput();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(readText(staging + "/system/hang.txt"), "started\n");
    EXPECT_EQ(lines(), (std::vector<std::string>{"Failure: /bin/hang command did not finish within 1 seconds and "
                                                 "was ended; its output up to then is in hang.txt"}));
    EXPECT_EQ(CommandExecutor::kTimeLimit, std::chrono::seconds(300));
}

TEST_F(WorkersTest, CommandPrintingPastTheLimitIsEndedAndItsOutputCut) {
    script("/bin/flood", "yes flooding the temporary folder\n");
    CommandExecutor executor("/bin/flood", "system", {}, "flood.txt", logger, staging);
    executor.setOutputLimit(1 << 20);
    const auto start = std::chrono::steady_clock::now();
    executor.execCmdToOutput();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(std::filesystem::file_size(staging + "/system/flood.txt"), 1u << 20);
    EXPECT_EQ(lines(), (std::vector<std::string>{"Failure: /bin/flood command output was cut at 1 MiB and the command "
                                                 "was ended; the output up to then is in flood.txt"}));
    EXPECT_EQ(CommandExecutor::kOutputLimit, 1ull << 30);
}

TEST_F(WorkersTest, RepairThatDecompressesWithoutBoundIsCut) {
    const std::string folder = staging + "/NerovaDiagnostics";
    std::filesystem::create_directories(folder);
    ASSERT_EQ(std::system(("head -c 64M /dev/zero | gzip -9n > " + tmp / "bomb.gz").c_str()), 0);
    const std::string bomb = readText(tmp / "bomb.gz");
    writeText(folder + "/bomb.log.gz", bomb.substr(0, bomb.size() - 4));  // damaged: the test fails
    RecoveryUtility utility(logger);
    utility.setRepairOutputLimit(1 << 20);
    utility.recoverArchiveIfRequired(folder + "/bomb.log.gz");
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Warning: bomb.log.gz has not been archived properly.",
                           "Attempting to recover bomb.log.gz...",
                           "Failure: Recovery of bomb.log.gz was cut at 1 MiB; bomb.log.recovered holds what was "
                           "recovered up to then",
                           "Success: Recovered bomb.log.gz as bomb.log.recovered.gz",
                       }));
    auto recovered = testsupport::runProgram({"/usr/bin/gzip", "-dc", folder + "/bomb.log.recovered.gz"});
    EXPECT_EQ(recovered.out.size(), 1u << 20);
}

TEST_F(WorkersTest, ArchiveNeverReplacesWhatHasItsNameAndIsPrivate) {
    writeText(staging + "/-Host_20261209_101010_ZEP/system/hosts", "127.0.0.1 localhost\n");
    const std::string out = tmp / "out";
    std::filesystem::create_directories(out);
    // A host name beginning with "-" still names a folder, not an option.
    ASSERT_TRUE(FileArchiver(logger, staging + "/-Host_20261209_101010_ZEP", out, "-Host_20261209_101010_ZEP",
                             "/usr/bin/zip")
                    .archiveFile());
    struct stat st {};
    ASSERT_EQ(stat((out + "/-Host_20261209_101010_ZEP.zip").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    writeText(staging + "/A/x", "x");
    writeText(out + "/A.zip", "forged archive");
    ASSERT_EQ(mkfifo((out + "/B.zip").c_str(), 0644), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FileArchiver(logger, staging + "/A", out, "A", "/usr/bin/zip").archiveFile());
    EXPECT_FALSE(FileArchiver(logger, staging + "/A", out, "B", "/usr/bin/zip").archiveFile());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(readText(out + "/A.zip"), "forged archive");
    const auto l = lines();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[1], "Failure: Unable to move archive into place at " + out +
                        "/A.zip -> The file \u201CA.zip\u201D couldn\u2019t be saved because a file with the same name "
                        "already exists.");
    EXPECT_EQ(l[2].rfind("Failure: Unable to move archive into place at " + out + "/B.zip -> ", 0), 0u);
    // Nothing of zip's work stays behind.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(out)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"-Host_20261209_101010_ZEP.zip", "A.zip", "B.zip"}));
}

TEST_F(WorkersTest, ArchiveHoldsTheStagingFolderAsItsOneTopFolder) {
    writeText(staging + "/Host_20261209_101010_ZEP/system/hosts", "127.0.0.1 localhost\n");
    writeText(staging + "/Host_20261209_101010_ZEP/QRB-type.txt", "Endpoint");
    const std::string out = tmp / "out";
    std::filesystem::create_directories(out);
    FileArchiver archiver(logger, staging + "/Host_20261209_101010_ZEP", out, "Host_20261209_101010_ZEP", "/usr/bin/zip");
    ASSERT_TRUE(archiver.archiveFile());
    auto members = testsupport::lines(
        testsupport::runProgram({"/usr/bin/unzip", "-Z1", out + "/Host_20261209_101010_ZEP.zip"}).out);
    std::sort(members.begin(), members.end());
    EXPECT_EQ(members, (std::vector<std::string>{"Host_20261209_101010_ZEP/", "Host_20261209_101010_ZEP/QRB-type.txt",
                                                 "Host_20261209_101010_ZEP/system/",
                                                 "Host_20261209_101010_ZEP/system/hosts"}));
    EXPECT_EQ(lines(), (std::vector<std::string>{"Success: Generated output of zip command to Host_20261209_101010_ZEP.zip"}));
}

TEST_F(WorkersTest, MissingOrFailingZipGivesFalse) {
    writeText(staging + "/A/x", "x");
    const std::string failing = script("/bin/zipfail", "exit 12\n");
    EXPECT_FALSE(FileArchiver(logger, staging + "/A", tmp.path(), "A", root + "/bin/nozip").archiveFile());
    EXPECT_FALSE(FileArchiver(logger, staging + "/A", tmp.path(), "A", failing).archiveFile());
    EXPECT_FALSE(FileArchiver(logger, staging + "/A", tmp / "missing-folder", "A", "/usr/bin/zip").archiveFile());
    const auto l = lines();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0], "Warning: " + root + "/bin/nozip command path does not exist");
    EXPECT_EQ(l[1], "Failure: zip failed (exit 12) for " + tmp.path() + "/A.zip");
    // zip cannot even start without the folder: the reason stands for its status.
    EXPECT_EQ(l[2].rfind("Failure: zip failed (", 0), 0u);
    EXPECT_NE(l[2].find(") for " + tmp.path() + "/missing-folder/A.zip"), std::string::npos);
}

TEST_F(WorkersTest, TruncatedGzipMemberIsRepairedBesideTheOriginal) {
    const std::string folder = staging + "/NerovaDiagnostics";
    std::filesystem::create_directories(folder);
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "record " + std::to_string(i) + "\n";
    writeText(tmp / "plain.log", text);
    ASSERT_EQ(std::system(("gzip -9nc " + tmp / "plain.log" + " > " + tmp / "full.gz").c_str()), 0);
    const std::string full = readText(tmp / "full.gz");
    writeText(folder + "/day.log.gz", full.substr(0, full.size() / 2));
    writeText(folder + "/good.log.gz", full);

    RecoveryUtility(logger).recoverArchiveIfRequired(folder + "/good.log.gz");
    RecoveryUtility(logger).recoverArchiveIfRequired(folder + "/day.log.gz");
    RecoveryUtility(logger).recoverArchiveIfRequired(folder + "/gone.log.gz");

    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Warning: day.log.gz has not been archived properly.",
                           "Attempting to recover day.log.gz...",
                           "Success: Recovered day.log.gz as day.log.recovered.gz",
                           "Warning: gone.log.gz file does not exist. Skipping validity check...",
                       }));
    EXPECT_TRUE(exists(folder + "/day.log.gz"));
    auto recovered = testsupport::runProgram({"/usr/bin/gzip", "-dc", folder + "/day.log.recovered.gz"});
    EXPECT_EQ(recovered.status, 0);
    EXPECT_FALSE(recovered.out.empty());
    EXPECT_EQ(text.compare(0, recovered.out.size(), recovered.out), 0) << "the repair holds a prefix of the original";
}

// gzip's error status 1 is an error; its warning status 2 is not, when the
// compressed copy was made all the same. A 2 that left the repair file
// uncompressed (what gzip gives when the compressed name is already taken)
// is never reported as recovered.
TEST_F(WorkersTest, RepairIsRecoveredUnlessItCouldNotCompress) {
    const std::string folder = staging + "/NerovaDiagnostics";
    // -t fails; -dc writes nothing; then the compressing step.
    const std::string prefix = "[ \"$1\" = -t ] && exit 1; [ \"$1\" = -dc ] && exit 1; ";
    struct Case {
        const char* name;
        const char* compressing;
        const char* outcome;
    } cases[] = {
        {"a", "exit 1\n", "Error compressing a.log.recovered"},
        {"b", "exit 2\n", "Error compressing b.log.recovered"},
        {"c", "/usr/bin/gzip \"$@\" || exit 9; exit 2\n", "Success: Recovered c.log.gz as c.log.recovered.gz"},
        {"d", "/usr/bin/gzip \"$@\" || exit 9; exit 1\n", "Error compressing d.log.recovered"},
        {"e", "/usr/bin/gzip \"$@\"\n", "Success: Recovered e.log.gz as e.log.recovered.gz"},
    };
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        const std::string name = c.name;
        writeText(folder + "/" + name + ".log.gz", "not gzip at all");
        const std::string gzip = script("/bin/gz-" + name, prefix + c.compressing);
        RecoveryUtility(logger, gzip).recoverArchiveIfRequired(folder + "/" + name + ".log.gz");
        expected.push_back("Warning: " + name + ".log.gz has not been archived properly.");
        expected.push_back("Attempting to recover " + name + ".log.gz...");
        expected.push_back(c.outcome);
    }
    EXPECT_EQ(lines(), expected);
}
