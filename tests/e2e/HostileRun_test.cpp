// The real program against what a hostile user can plant or do: planted
// preference lists, archives and links, shared temporary folders,
// interruption, a full disk and a second run at the same time. Every row
// checks that nothing outside the run's own folders changed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "Nerova_Diagnostic_Utility/ZEPCommandLine.h"
#include "platform/system/SystemEnvironment.h"
#include "support/Events.h"
#include "support/TestSupport.h"

namespace fsys = std::filesystem;
using testsupport::exists;
using testsupport::readText;
using testsupport::writeText;

namespace {

const std::string kProgram = std::string(NRV_BIN_DIR) + "/Nerova Diagnostic Utility";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kLimitAddressSpace = false;  // sanitizers reserve far more than they use
#else
constexpr bool kLimitAddressSpace = true;
#endif

// The program started in the background, its output in files.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          const std::string& outputFolder, bool closedStandardOutput = false,
          const std::function<bool()>& beforeExec = nullptr)
        : out_(outputFolder + "/stdout"), err_(outputFolder + "/stderr") {
        int closed[2] = {-1, -1};
        if (closedStandardOutput && pipe(closed) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            int in = open("/dev/null", O_RDONLY);
            int out = closedStandardOutput ? closed[1] : open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            if (closedStandardOutput) close(closed[0]);
            for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
            if (beforeExec && !beforeExec()) _exit(126);
            if (kLimitAddressSpace) {
                // A run that expands a list without bound fails fast here
                // instead of taking the machine's memory.
                struct rlimit limit = {4ull << 30, 4ull << 30};
                setrlimit(RLIMIT_AS, &limit);
            }
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        if (closedStandardOutput) {
            close(closed[0]);  // the reader goes away at once, as `| head` would
            close(closed[1]);
        }
    }
    ~Child() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }
    // Exit status, 128 + signal, or nullopt when the limit passed (the child is then killed).
    std::optional<int> wait(std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::nullopt;
    }
    std::string out() const { return readText(out_); }
    std::string err() const { return readText(err_); }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string out_, err_;
};

// Every file and folder below `folder` with its type, mode and content.
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> state;
    std::error_code ec;
    for (auto it = fsys::recursive_directory_iterator(folder, ec); it != fsys::recursive_directory_iterator();
         it.increment(ec)) {
        struct stat st {};
        lstat(it->path().c_str(), &st);
        std::string entry = std::to_string(st.st_mode) + ":" + std::to_string(st.st_uid);
        if (S_ISREG(st.st_mode)) entry.append(":").append(readText(it->path()));
        if (S_ISLNK(st.st_mode)) entry.append(":").append(fsys::read_symlink(it->path()).string());
        state[it->path().string()] = entry;
    }
    return state;
}

bool processIsGone(pid_t pid) {
    if (kill(pid, 0) != 0) return true;
    // A zombie waiting for a reaper that never comes counts as gone.
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// One run's world: a copy of the sample tree, a home, a temporary folder,
// an output folder, and a victim folder that no run may change.
struct Sandbox {
    Sandbox() {
        testsupport::copySampleTree(root);
        for (const auto& folder : {home, temporary, output, victim}) fsys::create_directories(folder);
        writeText(victim + "/owned-by-root.txt", "must stay\n");
        writeText(victim + "/private/key.pem", "secret key\n");
    }

    std::map<std::string, std::string> environment() const {
        return {{"NRV_SYSTEM_ROOT", root}, {"HOME", home}, {"TMPDIR", temporary}, {"NRV_LOG_STORE", tmp / "unified.log"},
                {"NRV_TEST_MARK", tmp / "command.pid"}};
    }

    std::unique_ptr<Child> start(bool closedStandardOutput = false, const std::string& outputFolder = "") {
        const std::string runFolder = tmp / ("run" + std::to_string(runs_++));
        fsys::create_directories(runFolder);
        return std::make_unique<Child>(std::vector<std::string>{kProgram, "--cli", "--output_path", output},
                                       environment(), outputFolder.empty() ? runFolder : outputFolder,
                                       closedStandardOutput);
    }

    // The archive names a run started in the next seconds can take.
    std::vector<std::string> comingArchiveNames() const {
        std::vector<std::string> names;
        const auto now = std::chrono::system_clock::now();
        for (int s = 0; s < 8; ++s)
            names.push_back(ZEPCommandLine::makeArchiveName(platform::localizedHostName(), platform::userName(),
                                                            now + std::chrono::seconds(s)));
        return names;
    }

    // A catalogue command that records its pid and then sleeps.
    void makeCommandSleep(int seconds) {
        writeText(root + "/usr/sbin/diskutil",
                  "#!/bin/sh\necho $$ > \"$NRV_TEST_MARK\"\nexec sleep " + std::to_string(seconds) + "\n");
        chmod((root + "/usr/sbin/diskutil").c_str(), 0755);
    }

    std::optional<pid_t> waitForSleepingCommand() {
        // The shell creates the file before it writes the line: wait for the line.
        std::string text;
        testsupport::waitUntil(
            [&] {
                text = readText(tmp / "command.pid");
                return !text.empty() && text.back() == '\n';
            },
            std::chrono::seconds(30));
        if (text.empty() || text.back() != '\n') return std::nullopt;
        return static_cast<pid_t>(std::stol(text));
    }

    testsupport::TempDir tmp;
    std::string root = tmp / "root";
    std::string home = tmp / "home";
    std::string temporary = tmp / "tmp";
    std::string output = tmp / "out";
    std::string victim = tmp / "victim";
    int runs_ = 0;
};

class HostileRun : public ::testing::Test {
protected:
    std::unique_ptr<Sandbox> s = std::make_unique<Sandbox>();
};

std::string sharedReferenceBomb() {
    // Nine levels of ten references each to the next level: 10^9 nodes once expanded.
    std::string list = "bplist00";
    std::vector<int> offsets;
    for (int level = 0; level < 9; ++level) {
        offsets.push_back(static_cast<int>(list.size()));
        list.push_back(static_cast<char>(0xAA));
        for (int i = 0; i < 10; ++i) list.push_back(static_cast<char>(level + 1));
    }
    offsets.push_back(static_cast<int>(list.size()));
    list.push_back(0x09);
    const int table = static_cast<int>(list.size());
    for (int offset : offsets) list.push_back(static_cast<char>(offset));
    std::string trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<char>(offsets.size());
    trailer[31] = static_cast<char>(table);
    return list + trailer;
}

}  // namespace

TEST_F(HostileRun, PlantedInputsNeitherSinkTheRunNorReachOtherFiles) {
    const std::string userPlw = "/Library/Preferences/com.nerova.plw.plist";  // below the home
    struct Case {
        const char* name;
        std::function<void(Sandbox&)> plant;
        int status;
        std::string line;  // expected on the terminal ("" for none)
    };
    const std::string wellcheck = "Success: Wrote Nerova Wellcheck.log from plists";
    const std::string notMoved = "Failure: Unable to move archive into place at ";
    const std::vector<Case> cases = {
        {"preference list whose shared references expand to 10^9 nodes",
         [&](Sandbox& t) {
             writeText(t.home + userPlw, sharedReferenceBomb());
             writeText(t.root + userPlw, sharedReferenceBomb());
         },
         0, wellcheck},
        {"named pipe as the user's preference list",
         [&](Sandbox& t) {
             fsys::create_directories(t.home + "/Library/Preferences");
             mkfifo((t.home + userPlw).c_str(), 0600);
         },
         0, wellcheck},
        {"link to /dev/zero as the user's preference list",
         [&](Sandbox& t) {
             fsys::create_directories(t.home + "/Library/Preferences");
             fsys::create_symlink("/dev/zero", t.home + userPlw);
         },
         0, wellcheck},
        {"forged archive of the run's name in the output folder",
         [&](Sandbox& t) {
             for (const auto& name : t.comingArchiveNames()) writeText(t.output + "/" + name + ".zip", "forged\n");
         },
         1, notMoved},
        {"named pipe of the run's archive name",
         [&](Sandbox& t) {
             for (const auto& name : t.comingArchiveNames()) mkfifo((t.output + "/" + name + ".zip").c_str(), 0644);
         },
         1, notMoved},
        {"shared temporary folder with planted links to the log and the staging folder",
         [&](Sandbox& t) {
             chmod(t.temporary.c_str(), 01777);
             fsys::create_symlink(t.victim + "/owned-by-root.txt", t.temporary + "/Nerova Diagnostic Utility.log");
             for (const auto& name : t.comingArchiveNames())
                 fsys::create_directory_symlink(t.victim + "/private", t.temporary + "/" + name);
         },
         0, ""},
        {"product folder that is a link to another user's files",
         [&](Sandbox& t) {
             fsys::remove_all(t.root + "/Library/Logs/NerovaManagementAgent");
             fsys::create_directory_symlink(t.victim + "/private", t.root + "/Library/Logs/NerovaManagementAgent");
         },
         0, "Failure: Unexpectedly found symlink for key.pem. Skipping file..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        s = std::make_unique<Sandbox>();
        c.plant(*s);
        const auto before = snapshot(s->victim);
        const auto outputBefore = snapshot(s->output);
        auto child = s->start();
        const auto status = child->wait(std::chrono::seconds(120));
        ASSERT_TRUE(status.has_value()) << "the run hangs";
        EXPECT_EQ(*status, c.status) << child->err();
        if (!c.line.empty()) {
            EXPECT_NE(child->out().find("\n" + c.line), std::string::npos) << child->out();
        }
        EXPECT_EQ(snapshot(s->victim), before);
        // What was in the output folder stays as it was; a new archive is the only addition.
        auto outputAfter = snapshot(s->output);
        for (const auto& [path, state] : outputBefore) EXPECT_EQ(outputAfter[path], state) << path;
        EXPECT_EQ(outputAfter.size() - outputBefore.size(), c.status == 0 ? 1u : 0u);
        for (const auto& [path, state] : outputAfter) {
            if (outputBefore.count(path)) continue;
            struct stat st {};
            ASSERT_EQ(lstat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
        }
    }
}

TEST_F(HostileRun, InterruptionRemovesStagingAndEndsTheRunningCommand) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signalNumber));
        fsys::remove(s->tmp / "command.pid");
        s->makeCommandSleep(60);
        auto child = s->start();
        const auto commandPid = s->waitForSleepingCommand();
        ASSERT_TRUE(commandPid.has_value()) << child->out();
        // The staging folder holds the collection by now.
        ASSERT_GE(testsupport::folderEntries(s->temporary).size(), 2u);
        kill(child->pid(), signalNumber);
        const auto status = child->wait(std::chrono::seconds(20));
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 128 + signalNumber);
        EXPECT_EQ(testsupport::folderEntries(s->temporary), std::vector<std::string>{"Nerova Diagnostic Utility.log"});
        EXPECT_TRUE(testsupport::folderEntries(s->output).empty());
        EXPECT_TRUE(testsupport::waitUntil([&] { return processIsGone(*commandPid); }, std::chrono::seconds(10)))
            << "the command outlived the run";
    }
}

TEST_F(HostileRun, AClosedTerminalDoesNotEndTheRun) {
    auto child = s->start(/*closedStandardOutput=*/true);
    const auto status = child->wait(std::chrono::seconds(120));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << child->err();
    EXPECT_EQ(testsupport::folderEntries(s->output).size(), 1u);
    const std::string log = readText(s->temporary + "/Nerova Diagnostic Utility.log");
    EXPECT_NE(log.find("Success: Generated output of zip command to "), std::string::npos);
}

TEST_F(HostileRun, TwoRunsAtOnceLeaveOneCollection) {
    s->makeCommandSleep(2);
    auto first = s->start();
    auto second = s->start();
    const auto a = first->wait(std::chrono::seconds(120));
    const auto b = second->wait(std::chrono::seconds(120));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(std::min(*a, *b), 0);
    EXPECT_EQ(std::max(*a, *b), 1);
    Child& refused = *a == 1 ? *first : *second;
    EXPECT_EQ(refused.err(), "A collection is already running.\n");
    EXPECT_EQ(refused.out(), "");
    EXPECT_EQ(testsupport::folderEntries(s->output).size(), 1u);
    const std::string log = readText(s->temporary + "/Nerova Diagnostic Utility.log");
    EXPECT_EQ(log.find("Begin collection"), log.rfind("Begin collection")) << "one run's log";
}

TEST_F(HostileRun, AFullTemporaryFolderNamesEveryFileThatFailed) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string small = s->tmp / "small";
    fsys::create_directories(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m,mode=0700") != 0)
        GTEST_SKIP() << "mount -t tmpfs is not allowed here: " << strerror(errno);
    std::string big(3 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
    writeText(s->root + "/Library/Logs/NerovaMessageRouter/big.log", big);
    s->temporary = small;
    auto child = s->start();
    const auto status = child->wait(std::chrono::seconds(120));
    const std::string out = child->out();
    umount2(small.c_str(), MNT_DETACH);
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(out.find("\nFailure: Unable to copy source at big.log -> The file \u201C" "big.log\u201D couldn\u2019t be "
                       "saved because there isn\u2019t enough space.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Success: Collected NerovaMessageRouter"), std::string::npos) << out;
}

TEST_F(HostileRun, AHostNameBeginningWithADashIsStillArchived) {
    if (geteuid() != 0) GTEST_SKIP() << "a host name of the test's own needs root (a UTS namespace)";
    // The host name is the process's own: a UTS namespace of the child's.
    Child child({kProgram, "--cli", "--output_path", s->output}, s->environment(), s->tmp.path(), false, [] {
        static const char name[] = "-evil-host";
        return unshare(CLONE_NEWUTS) == 0 && sethostname(name, sizeof name - 1) == 0;
    });
    const auto status = child.wait(std::chrono::seconds(120));
    ASSERT_TRUE(status.has_value());
    if (*status == 126) GTEST_SKIP() << "a UTS namespace is not allowed here";
    EXPECT_EQ(*status, 0) << child.err() << child.out();
    const auto names = testsupport::folderEntries(s->output);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("-evil-host_", 0), 0u);
    const auto members = testsupport::archiveMembers(s->output + "/" + names[0]);
    ASSERT_FALSE(members.empty());
    EXPECT_EQ(members[0].rfind("-evil-host_", 0), 0u);
}
