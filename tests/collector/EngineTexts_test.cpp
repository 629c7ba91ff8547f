// Every failure and warning line of the collection engine, each provoked by
// a small fixture and compared whole: these lines are what a support
// engineer reads in the collection log. The fixtures block folders with plain
// files, so they hold for root as for any user.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "collector/CommandExecutor.h"
#include "collector/DirectoryCopier.h"
#include "collector/FileArchiver.h"
#include "collector/FileCopier.h"
#include "collector/RecoveryUtility.h"
#include "collector/wellcheck/WCKSnapshotWriter.h"
#include "collector/ZEP.h"
#include "ProductTreeTest.h"
#include "support/TestSupport.h"

using testsupport::writeText;

namespace {


// "@STAGING@", "@ROOT@" and "@TMP@" in the expected lines stand for the
// test's folders.
struct Case {
    const char* name;
    std::function<void()> provoke;
    std::vector<std::string> expected;
};

std::string substitute(std::string text, const std::string& key, const std::string& value) {
    for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
    return text;
}

}  // namespace

class EngineTexts : public ProductTreeTest {};

TEST_F(EngineTexts, EveryFailureAndWarningLine) {
    const Case cases[] = {
        {"command missing",
         [&] {
             CommandExecutor("/usr/bin/absent", "system", {}, "a.txt", logger, staging).execCmdToOutput();
         },
         {"Warning: /usr/bin/absent command path does not exist"}},
        {"command output folder blocked by a file",
         [&] {
             script("/bin/tool", "echo hi\n");
             writeText(staging + "/system", "a file where the folder goes");
             CommandExecutor("/bin/tool", "system", {}, "a.txt", logger, staging).execCmdToOutput();
         },
         {"Failure: Error creating file for command /bin/tool at path @STAGING@/system/a.txt -> The file \u201Csystem\u201D "
          "couldn\u2019t be saved because a file with the same name already exists.",
          "Failure: Could not output /bin/tool command to file -> The file \u201Ca.txt\u201D couldn\u2019t be opened. (Not a "
          "directory)"}},
        {"command that cannot start",
         [&] {
             script("/bin/broken", "");
             writeText(root + "/bin/broken", "#!/no/such/interpreter\n");
             CommandExecutor("/bin/broken", "system", {}, "b.txt", logger, staging).execCmdToOutput();
         },
         {"Failure: Could not run /bin/broken -> No such file or directory"}},
        {"copy destination blocked by a file",
         [&] {
             writeText(root + "/Library/Preferences/com.nerova.x.plist", "x");
             writeText(staging + "/config", "a file where the folder goes");
             FileCopier("config/x", {"/Library/Preferences/com.nerova.x.plist"}, logger, staging).performCopy();
         },
         {"Failure: Unable to create directory at x -> The file \u201Cx\u201D couldn\u2019t be opened because \u201C"
          "config\u201D is not a folder.",
          "Failure: Unable to copy source at com.nerova.x.plist -> The file \u201Ccom.nerova.x.plist\u201D couldn\u2019t be "
          "opened because \u201Cx\u201D is not a folder."}},
        {"file missing, pattern without match",
         [&] {
             FileCopier("config/x", {"/Library/Preferences/com.nerova.none.plist", "/Library/Logs/none*.log"}, logger,
                        staging)
                 .performCopy();
         },
         {"Warning: com.nerova.none.plist does not exist", "Warning: No matching files exist for /Library/Logs/none*.log"}},
        {"folder missing, folder empty",
         [&] {
             std::filesystem::create_directories(root + "/Library/Logs/Empty");
             DirectoryCopier("logs", "Gone Logs", {"/Library/Logs/Gone/"}, logger, staging).performCopy();
             DirectoryCopier("logs", "Empty Logs", {"/Library/Logs/Empty/"}, logger, staging).performCopy();
         },
         {"Warning: Gone Logs directory does not exist", "Warning: Empty Logs directory is empty"}},
        {"zip missing",
         [&] {
             FileArchiver(logger, staging, tmp.path(), "A", "/bin/nozip").archiveFile();
         },
         {"Warning: /bin/nozip command path does not exist"}},
        {"zip that cannot start",
         [&] {
             writeText(tmp / "badzip", "#!/no/such/interpreter\n");
             chmod((tmp / "badzip").c_str(), 0755);
             FileArchiver(logger, staging, tmp.path(), "A", tmp / "badzip").archiveFile();
         },
         {"Failure: zip failed (No such file or directory) for @TMP@/A.zip"}},
        {"damaged archive whose repair file is blocked",
         [&] {
             writeText(staging + "/day.log.gz", "not gzip");
             std::filesystem::create_directories(staging + "/day.log.recovered/inside");
             RecoveryUtility(logger).recoverArchiveIfRequired(staging + "/day.log.gz");
             RecoveryUtility(logger).recoverArchiveIfRequired(staging + "/gone.log.gz");
         },
         {"Warning: day.log.gz has not been archived properly.", "Attempting to recover day.log.gz...",
          "Failure: Unable to create recover file at @STAGING@/day.log.recovered",
          "Warning: gone.log.gz file does not exist. Skipping validity check..."}},
        {"report folder blocked by a file",
         [&] {
             writeText(staging + "/wck", "a file where the folder goes");
             WCKSnapshotWriter("wck", logger, staging).performWCKLogsWrite();
         },
         {"Warning: Could not generate Nerova Wellcheck.log from plists"}},
        {"driver: no diagnostics folder, staging blocked, no user names",
         [&] {
             ZEP zep(logger, staging, tmp.path(), "A");
             zep.checkArchiveIntegrity();
             zep.generateUsernamesTxt({});
             writeText(staging + "/config/keychain", "a file where the folder goes");
             zep.generateUsernamesTxt({"alice"});
             std::filesystem::remove_all(staging);
             writeText(staging, "a file where the staging folder goes");
             zep.generateQRBTypeText();
         },
         {"Checking Archives for their integrity...", "Failure: No NerovaDiagnostics collected...",
          "Warning: No usernames stored in the Keychain",
          "Failure: Unable to create file at @STAGING@/config/keychain/usernames.txt",
          "Failure: Unable to create file at @STAGING@/QRB-type.txt"}},
    };
    for (const Case& c : cases) {
        logger->setProgressStatus("");
        c.provoke();
        std::vector<std::string> expected;
        for (const std::string& line : c.expected)
            expected.push_back(substitute(substitute(substitute(line, "@STAGING@", staging), "@ROOT@", root), "@TMP@", tmp.path()));
        std::vector<std::string> seen;
        for (const std::string& line : lines())
            if (line.rfind("Success: ", 0) != 0) seen.push_back(line);
        EXPECT_EQ(seen, expected) << c.name;
        std::filesystem::remove_all(staging);
        std::filesystem::create_directories(staging);
    }
}
