// The built program run as a process: what reaches the terminal and the exit
// status for help, command-line errors and output folders that cannot be used.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using testsupport::ProgramResult;
using testsupport::TempDir;

const std::string kProgram = std::string(NRV_BIN_DIR) + "/Nerova Diagnostic Utility";
const std::string kUsage =
    "usage: Nerova Diagnostic Utility [--cli] [-h | --help] [--output_path <path> | --output_path=<path>]\n";

const std::string kHelp =
    "Nerova Diagnostic Utility (ZEP)\n"
    "\n"
    "usage:\n"
    "    Nerova Diagnostic Utility [--cli] [-h | --help] [--output_path <path> | --output_path=<path>]\n"
    "\n"
    "options:\n"
    "    --cli                  => run collection from the command line; writes a .zip archive to the current "
    "working directory unless --output_path is set\n"
    "    -h, --help             => print this message and exit successfully\n"
    "    --output_path <path>   => directory that must already exist and be writable; archive is created inside "
    "it as hostname_timestamp_ZEP.zip (requires --cli)\n"
    "\n"
    "arguments:\n"
    "    path                   => for --output_path: absolute or relative directory path; each path component "
    "(folder name) must be at most 255 characters; system limits apply to full path length\n"
    "    path forms             => --output_path <path> or --output_path=<path> (no space after '='); optional "
    "matching quotes around the path, e.g. --output_path \"/path\" or --output_path=\"/path with spaces\"\n"
    "\n"
    "return codes:\n"
    "    0                      => success (help was shown, or collection finished and the archive was created)\n"
    "    1                      => failure (invalid options or arguments, output directory invalid, or collection "
    "/ archive creation failed)\n"
    "\n"
    "notes:\n"
    "    Without --cli (and without other CLI-only flags such as -h, --help, or --output_path), the graphical "
    "application is started.\n"
    "    --output_path is only valid together with --cli.\n"
    "    When --cli is used and --output_path is omitted, the current working directory is used; it must exist "
    "and be writable.\n"
    "    Progress lines during --cli match the in-app collection log; subprocess stderr is not echoed to the "
    "terminal.\n"
    "\n"
    "examples:\n"
    "    Nerova Diagnostic Utility -h\n"
    "    Nerova Diagnostic Utility --cli\n"
    "    Nerova Diagnostic Utility --cli --output_path ~/Desktop\n"
    "    Nerova Diagnostic Utility --cli --output_path=/tmp/reports\n"
    "    Nerova Diagnostic Utility --cli --output_path=\"/path\"\n"
    "    Nerova Diagnostic Utility --cli --output_path \"/path with spaces\"\n";

// Runs the program with a private temporary folder and log store, so that a
// run that should touch nothing can be seen to have touched nothing.
class ProgramRun : public ::testing::Test {
protected:
    ProgramResult run(const std::vector<std::string>& arguments,
                      const std::optional<std::string>& workingDirectory = std::nullopt) {
        std::vector<std::string> argv{kProgram};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return testsupport::runProgram(argv,
                                       {{"TMPDIR", tmp_.path()}, {"NRV_LOG_STORE", logs_ / "unified.log"}},
                                       workingDirectory);
    }
    bool temporaryFolderIsEmpty() const { return listing().empty(); }
    std::string listing() const {
        const auto result = testsupport::runProgram({"/bin/ls", "-A", tmp_.path()});
        return result.out;
    }

    // Each run must end with status 1, nothing on standard output, and the
    // usage line and the error line on standard error.
    struct RefusedRun {
        std::vector<std::string> arguments;
        std::string detail;
    };
    void expectRefused(const std::vector<RefusedRun>& cases) {
        for (const RefusedRun& c : cases) {
            const ProgramResult result = run(c.arguments);
            EXPECT_EQ(result.status, 1) << c.detail;
            EXPECT_EQ(result.out, "") << c.detail;
            EXPECT_EQ(result.err, kUsage + "Nerova Diagnostic Utility: error: " + c.detail + "\n");
        }
    }

    TempDir tmp_;
    TempDir logs_;
};

TEST_F(ProgramRun, HelpGoesToStandardOutputAndExitsZero) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"--cli", "--help"}, {"--help", "--bogus"}, {"-h", "--output_path"}}) {
        const ProgramResult result = run(arguments);
        EXPECT_EQ(result.status, 0) << arguments.front();
        EXPECT_EQ(result.out, kHelp) << arguments.front();
        EXPECT_EQ(result.err, "") << arguments.front();
    }
}

TEST_F(ProgramRun, CommandLineErrorsPrintUsageAndExitOne) {
    const std::vector<RefusedRun> cases = {
        {{"--bogus", "--help"}, "unrecognized arguments: --bogus"},
        {{"--output_path", "/tmp"}, "argument --output_path: not allowed without --cli"},
        {{"--cli", "--output_path"}, "argument --output_path: expected one argument"},
        {{"--cli", "--output_path="}, "argument --output_path: path must not be empty"},
        {{"--cli", "--output_path", "'  '"}, "argument --output_path: path must not be empty"},
        {{"--cli", "--output_path", "/tmp/a\tb"}, "argument --output_path: path contains invalid characters"},
        {{"--cli", "--output_path=/tmp/" + std::string(256, 'x')},
         "argument --output_path: folder name longer than 255 characters"},
    };
    expectRefused(cases);
    EXPECT_TRUE(temporaryFolderIsEmpty()) << listing();
}

// No display at all, or one named that nothing answers (an X display
// without its server, a Wayland socket without its compositor, a platform
// chosen for such a display): one line and status 1, never Qt's abort.
TEST_F(ProgramRun, WithoutADisplayTheWindowModeSaysSoInOneLine) {
    TempDir home, runtime;
    if (::access("/tmp/.X11-unix/X99", F_OK) == 0) GTEST_SKIP() << "an X server may be running at :99";
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::map<std::string, std::string> display;
    };
    const Case cases[] = {
        {"none", {}, {}},
        {"none, with arguments for the window", {"-NSDocumentRevisionsDebugMode", "YES"}, {}},
        {"X display without a server", {}, {{"DISPLAY", ":99"}}},
        {"X display over TCP without a server", {}, {{"DISPLAY", "127.0.0.1:99"}}},
        {"Wayland display without a compositor", {}, {{"WAYLAND_DISPLAY", "wayland-99"}}},
        {"Wayland socket path without a compositor", {}, {{"WAYLAND_DISPLAY", runtime / "absent"}}},
        {"both without servers", {}, {{"DISPLAY", ":99"}, {"WAYLAND_DISPLAY", "wayland-99"}}},
        {"xcb chosen without a server", {}, {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":99"}}},
        {"xcb chosen on the command line", {"-platform", "xcb"}, {{"DISPLAY", ":99"}}},
        {"a list of platforms without servers", {}, {{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ":99"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv{kProgram};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        std::map<std::string, std::string> environment = {{"TMPDIR", tmp_.path()},
                                                          {"HOME", home.path()},
                                                          {"NRV_LOG_STORE", logs_ / "unified.log"},
                                                          {"XDG_RUNTIME_DIR", runtime.path()},
                                                          {"DISPLAY", ""},
                                                          {"WAYLAND_DISPLAY", ""},
                                                          {"QT_QPA_PLATFORM", ""}};
        for (const auto& [name, value] : c.display) environment[name] = value;
        const ProgramResult result = testsupport::runProgram(argv, environment);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err,
                  "Nerova Diagnostic Utility: no display is available for the window; --cli runs the collection "
                  "without one\n");
    }
    EXPECT_TRUE(temporaryFolderIsEmpty()) << listing();
    EXPECT_EQ(testsupport::runProgram({"/bin/ls", "-A", home.path()}).out, "");
}

// The window program started as a process on an offscreen display: it comes
// up (its launch makes the Desktop and log folders), stays up in its event
// loop, and ends on a termination request without an abort and without
// leaving anything in its temporary folder.
TEST_F(ProgramRun, TheWindowProgramStartsOffscreenAndEnds) {
    TempDir home;
    const std::string script =
        "\"$0\" & program=$!\n"
        "for i in $(seq 200); do [ -d \"$XDG_DESKTOP_DIR\" ] && break; sleep 0.05; done\n"
        "sleep 0.5\n"
        "kill -0 $program 2>/dev/null && echo running\n"
        "kill -TERM $program\n"
        "wait $program\n"
        "echo \"status $?\"\n";
    const ProgramResult result = testsupport::runProgram(
        {"/bin/bash", "-c", script, kProgram},
        {{"TMPDIR", tmp_.path()},
         {"HOME", home.path()},
         {"XDG_DESKTOP_DIR", home / "Desktop"},
         {"XDG_RUNTIME_DIR", home.path()},
         {"NRV_LOG_STORE", logs_ / "unified.log"},
         {"NRV_SYSTEM_ROOT", std::string(NRV_FIXTURES_DIR) + "/sample-root"},
         {"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(result.out, "running\nstatus 143\n") << result.err;
    EXPECT_EQ(result.err.find("Nerova Diagnostic Utility:"), std::string::npos) << result.err;
    EXPECT_TRUE(testsupport::exists(home / "Library/Logs"));
    EXPECT_TRUE(temporaryFolderIsEmpty()) << listing();
}

TEST_F(ProgramRun, UnusableOutputFoldersFailBeforeAnythingIsCollected) {
    TempDir out;
    const std::string missing = out / "missing";
    const std::string file = out / "report.txt";
    testsupport::writeText(file, "x");
    const std::vector<RefusedRun> cases = {
        {{"--cli", "--output_path", missing}, "output path does not exist: " + missing},
        {{"--output_path=" + file, "--cli"}, "not a directory: " + file},
        {{"--cli", "--output_path", "\"" + out.path() + "/./missing/\""}, "output path does not exist: " + missing},
    };
    expectRefused(cases);
    EXPECT_TRUE(temporaryFolderIsEmpty()) << listing();
    EXPECT_EQ(testsupport::lines(testsupport::runProgram({"/bin/ls", "-A", out.path()}).out),
              std::vector<std::string>{"report.txt"});
}

TEST_F(ProgramRun, AnUnwritableCurrentFolderFailsWhenNoOutputPathIsGiven) {
    if (const auto why = testsupport::unprivilegedUserCannotRun(kProgram)) GTEST_SKIP() << *why;
    TempDir out;
    const std::string locked = out / "locked";
    ASSERT_EQ(mkdir(locked.c_str(), 0500), 0);
    // Permission bits only count for an unprivileged user; the temporary
    // folder stays writable for it so that a wrong start would show.
    chmod(out.path().c_str(), 0755);
    chmod(tmp_.path().c_str(), 0777);
    const ProgramResult result = testsupport::runProgramAsUnprivilegedUser(
        {kProgram, "--cli"}, {{"TMPDIR", tmp_.path()}, {"NRV_LOG_STORE", logs_ / "unified.log"}}, locked);
    chmod(locked.c_str(), 0700);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, kUsage + "Nerova Diagnostic Utility: error: directory is not writable: " + locked + "\n");
    EXPECT_TRUE(temporaryFolderIsEmpty()) << listing();
}

TEST_F(ProgramRun, ARemovedCurrentFolderFailsToPrepareTheOutputLocation) {
    TempDir out;
    const ProgramResult result = testsupport::runProgram(
        {"/bin/sh", "-c", "mkdir gone && cd gone && rmdir ../gone && exec \"$0\" --cli", kProgram},
        {{"TMPDIR", tmp_.path()}, {"NRV_LOG_STORE", logs_ / "unified.log"}}, out.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, kUsage +
                              "Nerova Diagnostic Utility: error: failed to prepare output location: the current "
                              "directory cannot be determined\n");
    EXPECT_TRUE(temporaryFolderIsEmpty()) << listing();
}

}  // namespace
