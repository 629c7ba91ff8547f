// The agent-driven program run as a process against the fake agent (and the
// fake broker it registers with) in a private runtime root. What the agent
// sees is the exit status and the upload notices the fake records; what
// support staff see is the "remote zep" lines of the diagnostics log.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <set>

#include "agent-tool/RemoteZEPArchiveName.h"
#include "collector/CollectionLock.h"
#include "fakes/FakeServiceFixture.h"
#include "platform/system/SystemEnvironment.h"
#include "support/Events.h"
#include "support/TestSupport.h"

namespace fsys = std::filesystem;
using testsupport::folderEntries;
using testsupport::lines;
using testsupport::readText;
using testsupport::writeText;

namespace {

const std::string kProgram = std::string(NRV_BIN_DIR) + "/nerovadiagnosticutility";

std::string serviceName() { return "com.nerova.remote.zep." + platform::userName(); }

class RemoteZEPRun : public FakeServiceFixture {
protected:
    void SetUp() override {
        FakeServiceFixture::SetUp();
        fsys::create_directories(home);
        fsys::create_directories(temporary);
    }

    struct Outcome {
        testsupport::ProgramResult result;
        std::chrono::steady_clock::duration took;
    };

    Outcome run(const std::vector<std::string>& arguments = {}) {
        const auto start = std::chrono::steady_clock::now();
        auto result =
            testsupport::runCollectionProgram(kProgram, arguments, {testsupport::sampleRoot(), home, temporary, store});
        return {result, std::chrono::steady_clock::now() - start};
    }

    pid_t startAgent(const std::vector<std::string>& knobs) {
        std::vector<std::string> all = {"--record=" + record};
        all.insert(all.end(), knobs.begin(), knobs.end());
        return startRole("agent", all);
    }

    // The program's own diagnostics lines, in order, without the tag.
    std::vector<std::string> remoteZEPLines() const {
        const std::string marker = "\tdiagnostics\tDefault\tremote zep : ";
        std::vector<std::string> found;
        for (const std::string& line : lines(readText(store))) {
            auto at = line.find(marker);
            if (at != std::string::npos) found.push_back(line.substr(at + marker.size()));
        }
        return found;
    }

    testsupport::TempDir tmp;
    std::string home = tmp / "home";
    std::string temporary = tmp / "tmp";
    std::string store = tmp / "unified.log";
    std::string record = tmp / "uploads.txt";
};

}  // namespace

// Blanks and non-ASCII pass as sent; the arguments are not read at all.
TEST_F(RemoteZEPRun, CollectsIntoTheTemporaryFolderAndSendsOneUploadNotice) {
    const std::string name = "Agent Host \xC3\xA9t\xC3\xA9_20261210_010203_ZEP";
    ASSERT_GT(startRole("broker"), 0);
    ASSERT_GT(startAgent({"--name=" + name}), 0);

    auto [result, took] = run({"--cli", "--output_path", tmp / "elsewhere", "--help"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");

    // The archive and the collection log stay; the staging folder is gone.
    EXPECT_EQ(folderEntries(temporary),
              (std::vector<std::string>{name + ".zip", "Nerova Diagnostic Utility.log"}));
    const auto members = testsupport::archiveMembers(temporary + "/" + name + ".zip");
    const std::set<std::string> present(members.begin(), members.end());
    for (const char* member : {"QRB-type.txt", "Nerova Diagnostic Utility.log", "Nerova Wellcheck.log",
                                      "system/hosts", "config/qrb/receiptConfiguration.plist"})
        EXPECT_TRUE(present.count(name + "/" + member)) << member;
    for (const std::string& member : members) EXPECT_EQ(member.rfind(name + "/", 0), 0u) << member;

    // The name without ".zip" and the folder, not the archive's path. The
    // notice is one-way: the agent may record it after the program ended.
    testsupport::waitUntil([&] { return !readText(record).empty(); }, std::chrono::seconds(30));
    EXPECT_EQ(readText(record), name + "\t" + temporary + "\n");
    EXPECT_EQ(remoteZEPLines(), (std::vector<std::string>{
                                    "Connected to " + serviceName() + ".",
                                    "Preparing ZEP Collection.",
                                    "Running ZEP Collection.",
                                    name + ".zip archive created.",
                                }));
}

// A collection already holding the temporary folder: the second run says so,
// touches nothing of the first and sends no upload notice.
TEST_F(RemoteZEPRun, RunRefusedWhileAnotherCollectionHoldsTheTemporaryFolder) {
    const std::string name = "Host_20261210_010203_ZEP";
    ASSERT_GT(startRole("broker"), 0);
    ASSERT_GT(startAgent({"--name=" + name}), 0);
    auto held = CollectionLock::acquire(temporary);
    ASSERT_TRUE(std::holds_alternative<CollectionLock>(held));

    auto [result, took] = run();
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(folderEntries(temporary), std::vector<std::string>{});
    EXPECT_FALSE(testsupport::exists(record));
    EXPECT_EQ(remoteZEPLines(), (std::vector<std::string>{"Connected to " + serviceName() + ".",
                                                          "A collection is already running."}));
}

// One row per way the hand-shake or the archive fails.
struct FailureRow {
    const char* label;
    bool broker;
    std::vector<std::string> agentKnobs;  // empty: no agent at all
    bool agentUnsigned;
    std::vector<std::string> expectedLines;  // "@" stands for the service name
    int exitStatus;
    int atLeastSeconds, atMostSeconds;
    // The program's wait for the agent, shortened from its 30 s for a row
    // that sits it out; 0 keeps the program's own.
    int agentWaitMilliseconds = 0;
};

// Test names and failure messages show the row's label, not its bytes.
void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.label; }

class RemoteZEPFailure : public RemoteZEPRun, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(RemoteZEPFailure, EndsWithItsLinesAndStatusAndNoUploadNotice) {
    const FailureRow& row = GetParam();
    const std::string name = "Host_20261210_010203_ZEP";
    if (row.broker) {
        ASSERT_GT(startRole("broker"), 0);
    }
    if (!row.agentKnobs.empty()) {
        std::vector<std::string> knobs = row.agentKnobs;
        if (row.agentUnsigned) knobs.push_back("--unsigned");
        ASSERT_GT(startAgent(knobs), 0);
    }
    const bool zipFails = std::string(row.label) == "zip fails";
    // A folder in the archive's place: the archive cannot be moved there.
    if (zipFails) fsys::create_directories(temporary + "/" + name + ".zip/in-the-way");

    std::optional<testsupport::ScopedEnv> agentWait;
    if (row.agentWaitMilliseconds > 0) {
        agentWait.emplace("NRV_AGENT_TIMEOUT_MS_FOR_UNIT_TEST", std::to_string(row.agentWaitMilliseconds));
    }
    auto [result, took] = run();
    EXPECT_EQ(result.status, row.exitStatus) << result.err;
    // zip's own complaint reaches standard output: the archiver leaves it there.
    if (!zipFails) {
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(result.err, "");
    std::vector<std::string> expected;
    for (std::string line : row.expectedLines) {
        if (auto at = line.find('@'); at != std::string::npos) line.replace(at, 1, serviceName());
        if (auto at = line.find('#'); at != std::string::npos) line.replace(at, 1, name);
        expected.push_back(line);
    }
    EXPECT_EQ(remoteZEPLines(), expected);
    EXPECT_FALSE(testsupport::exists(record)) << readText(record);
    EXPECT_GE(took, std::chrono::seconds(row.atLeastSeconds));
    EXPECT_LE(took, std::chrono::seconds(row.atMostSeconds));
    if (zipFails) {
        EXPECT_EQ(folderEntries(temporary), (std::vector<std::string>{name + ".zip", "Nerova Diagnostic Utility.log"}));
        EXPECT_NE(readText(temporary + "/Nerova Diagnostic Utility.log").find("Failure: Unable to move archive into place at " + temporary + "/" + name + ".zip -> "),
                  std::string::npos);
    } else {
        EXPECT_EQ(folderEntries(temporary), std::vector<std::string>{});
    }
}

const std::string kLost = "Error from XPC connection to @: Connection was lost";
const std::string kNotEstablished = "Error from XPC connection to @: Connection was not established";

INSTANTIATE_TEST_SUITE_P(
    Rows, RemoteZEPFailure,
    ::testing::Values(
        // Each row but the last must end well before the program's own 30 s
        // wait for the agent: 20 s shows that and leaves room for a loaded,
        // sanitized machine.
        // Nothing to connect through: the program does not wait out the limit.
        FailureRow{"no service socket", false, {}, false, {kLost, kNotEstablished}, 1, 0, 20},
        // An agent that is not the maker's: refused at once, nothing collected.
        FailureRow{"agent fails the peer check", true, {"--name=x"}, true,
                   {"Refused @: its signature failed the check.", kLost, kNotEstablished}, 1, 0, 20},
        // A broker that knows no such service.
        // Both sit out the wait for the agent, shortened here; the second
        // connects first, within the same wait.
        FailureRow{"no agent service", true, {}, false, {kLost, kNotEstablished}, 1, 1, 20, 1000},
        FailureRow{"agent never answers", true, {"--never-reply"}, false,
                   {"Connected to @.", "Error XPC connection to @: timed out"}, 1, 3, 20, 3000},
        FailureRow{"agent answers nil", true, {"--name-nil"}, false, {"Connected to @."}, 1, 0, 20},
        FailureRow{"zip fails", true, {"--name=Host_20261210_010203_ZEP"}, false,
                   {"Connected to @.", "Preparing ZEP Collection.", "Running ZEP Collection.",
                    "Archive creation failed for #."},
                   0, 0, 120}),
    [](const auto& info) {
        std::string label = info.param.label;
        std::replace(label.begin(), label.end(), ' ', '_');
        return label;
    });

// A name that would leave the temporary folder, read as an option or not fit
// a file name: refused before anything is collected or deleted.
TEST_F(RemoteZEPRun, RefusesNamesThatAreNotPlainFileNames) {
    ASSERT_GT(startRole("broker"), 0);
    // What a careless collection would empty or delete.
    writeText(temporary + "/keep/file", "kept\n");
    for (const std::string& name : {std::string(""), std::string(".."), std::string("../keep"),
                                    std::string("-rf"), std::string(201, 'n')}) {
        SCOPED_TRACE("name '" + name + "'");
        pid_t agent = startAgent({"--name=" + name});
        ASSERT_GT(agent, 0);
        fsys::remove(store);
        auto [result, took] = run();
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(remoteZEPLines(), (std::vector<std::string>{
                                        "Connected to " + serviceName() + ".",
                                        "Refused the archive name from " + serviceName() + ": not a plain file name.",
                                    }));
        EXPECT_EQ(folderEntries(temporary), std::vector<std::string>{"keep"});
        EXPECT_EQ(readText(temporary + "/keep/file"), "kept\n");
        EXPECT_FALSE(testsupport::exists(record));
        stopRole(agent);
    }
}

TEST(RemoteZEPArchiveName, AcceptsOnlyPlainFileNamesUpToTwoHundredBytes) {
    const struct {
        std::string name;
        bool acceptable;
    } cases[] = {
        {"Host_20261210_010203_ZEP", true},
        {"with blanks and \xC3\xA9", true},
        {"..x", true},
        {"a-b", true},
        {std::string(200, 'n'), true},
        {std::string(199, 'n') + "\xC3\xA9", false},  // 201 bytes
        {"", false},
        {".", false},
        {"..", false},
        {"a/b", false},
        {"/", false},
        {std::string("a\0b", 3), false},
        {"-x", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RemoteZEPArchiveName::isAcceptable(c.name), c.acceptable) << "'" << c.name << "'";
}

// The service is named after the login name: without one there is nothing to
// connect to, and the run ends with a line instead of guessing a name.
TEST(RemoteZEPLoginName, AUserWithoutANameEndsTheRun) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can run the program as a user the system has no name for";
    uid_t nameless = 4000123;
    while (getpwuid(nameless)) ++nameless;
    testsupport::TempDir tmp;
    fsys::permissions(tmp.path(), fsys::perms::all);
    const std::string store = tmp / "unified.log";

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(nameless) != 0 || setuid(nameless) != 0) _exit(100);
        std::string storeVariable = "NRV_LOG_STORE=" + store, tmpVariable = "TMPDIR=" + tmp.path(),
                    homeVariable = "HOME=" + tmp.path();
        char* argv[] = {const_cast<char*>(kProgram.c_str()), nullptr};
        char* envp[] = {storeVariable.data(), tmpVariable.data(), homeVariable.data(), nullptr};
        execve(argv[0], argv, envp);
        _exit(101);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(readText(store).find("\tremote zep : The login name of the current user cannot be looked up.\n"),
              std::string::npos)
        << readText(store);
}
