#include "Nerova_Diagnostic_Utility/ZEPCLIConfiguration.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/system/SystemEnvironment.h"

using Error = ZEPCLICommandLineError;
using Result = ZEPCLIConfigurationResult;

// Readable failures for the outcome types.
void PrintTo(const ZEPCLICommandLineError& error, std::ostream* os) {
    *os << "error#" << static_cast<int>(error.kind) << "(" << error.argument << ")";
}
void PrintTo(const ZEPCLIConfigurationResult& result, std::ostream* os) {
    if (auto* help = std::get_if<Result::showHelp>(&result.value)) {
        *os << "showHelp(" << help->executableLabel << ")";
    } else if (auto* run = std::get_if<Result::runCollection>(&result.value)) {
        *os << "runCollection(" << run->outputDirectory.value_or("<none>") << ")";
    } else if (auto* error = std::get_if<Result::commandLineError>(&result.value)) {
        *os << "commandLineError(";
        PrintTo(error->error, os);
        *os << ")";
    } else {
        *os << "continueWithGUI";
    }
}

namespace {

std::string cwd() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? buffer : "";
}

Result gui() { return {Result::continueWithGUI{}}; }
Result help(std::string label = "prog") { return {Result::showHelp{std::move(label)}}; }
Result run(std::optional<std::string> folder = std::nullopt) { return {Result::runCollection{std::move(folder)}}; }
Result fails(Error error) { return {Result::commandLineError{std::move(error)}}; }

TEST(ZEPCLIConfigurationParse, DecidesFromTheFirstDecisiveArgument) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        Result expected;
    };
    const Case cases[] = {
        {"empty list", {}, gui()},
        {"no arguments", {"prog"}, gui()},
        {"platform argument pair", {"prog", "-NSDocumentRevisionsDebugMode", "YES"}, gui()},
        {"look-alikes only", {"prog", "--output_pathX", "-help", "--CLI"}, gui()},
        {"cli alone", {"prog", "--cli"}, run()},
        {"cli twice", {"prog", "--cli", "--cli"}, run()},
        {"cli then help", {"prog", "--cli", "--help"}, help()},
        {"help before unknown", {"prog", "--help", "--bogus"}, help()},
        {"short help before a dangling path", {"prog", "-h", "--output_path"}, help()},
        {"label is the last path component", {"/opt/x/Nerova Diagnostic Utility", "-h"},
         help("Nerova Diagnostic Utility")},
        {"unknown before help", {"prog", "--bogus", "--help"}, fails(Error::unknownOption("--bogus"))},
        {"unknown before cli", {"prog", "--bogus", "--cli"}, fails(Error::unknownOption("--bogus"))},
        {"look-alike beside cli", {"prog", "--cli", "--output_pathX"}, fails(Error::unknownOption("--output_pathX"))},
        {"stray value after path", {"prog", "--cli", "--output_path", "/tmp", "extra"},
         fails(Error::unknownOption("extra"))},
        {"good path without cli", {"prog", "--output_path", "/tmp"}, fails(Error::outputPathOnlyWithCLI())},
        {"bad path without cli", {"prog", "--output_path", "  "}, fails(Error::outputPathMustNotBeEmpty())},
        {"help as a path value without cli", {"prog", "--output_path", "--help"},
         fails(Error::outputPathOnlyWithCLI())},
        {"final path option", {"prog", "--cli", "--output_path"}, fails(Error::outputPathRequiresArgument())},
        {"empty assigned path", {"prog", "--cli", "--output_path="}, fails(Error::outputPathMustNotBeEmpty())},
        {"quoted blanks", {"prog", "--cli", "--output_path", "'  '"}, fails(Error::outputPathMustNotBeEmpty())},
        {"tab inside", {"prog", "--cli", "--output_path=/tmp/a\tb"}, fails(Error::outputPathInvalidCharacters())},
        {"line feed at end", {"prog", "--cli", "--output_path", "/tmp/a\n"},
         fails(Error::outputPathInvalidCharacters())},
        {"bad path after a good one", {"prog", "--cli", "--output_path=/a", "--output_path="},
         fails(Error::outputPathMustNotBeEmpty())},
        {"cli as the path value", {"prog", "--cli", "--output_path", "--cli"}, run(cwd() + "/--cli")},
        {"last good path wins", {"prog", "--cli", "--output_path=/a", "--output_path=/b"}, run("/b")},
        {"cli after the path", {"prog", "--output_path=/a", "--cli"}, run("/a")},
        {"separate value", {"prog", "--cli", "--output_path", "/tmp/reports"}, run("/tmp/reports")},
        {"assigned quoted value", {"prog", "--cli", "--output_path=\"/path with spaces\""}, run("/path with spaces")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ZEPCLIConfiguration::parse(c.arguments), c.expected) << c.name;
    }
}

TEST(ZEPCLIConfigurationParse, DetectsCommandLineModeOnlyFromTheFiveForms) {
    struct Case {
        std::vector<std::string> arguments;
        bool expected;
    };
    const Case cases[] = {
        {{}, false},
        {{"--cli"}, false},  // argument 0 is the program, never an option
        {{"prog", "--output_pathX", "-help", "cli"}, false},
        {{"prog", "x", "--cli"}, true},
        {{"prog", "-h"}, true},
        {{"prog", "--help"}, true},
        {{"prog", "--output_path"}, true},
        {{"prog", "--output_path="}, true},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.arguments) joined += "[" + a + "]";
        EXPECT_EQ(ZEPCLIConfiguration::argumentsIndicateCLI(c.arguments), c.expected) << joined;
    }
}

TEST(ZEPCLIConfigurationSanitize, CleansQuotesBlanksAndPathForms) {
    const std::string here = cwd();
    const std::string home = platform::homeDirectory();
    const std::string a255(255, 'a');
    const std::string a256(256, 'a');
    std::string accented255, accented256, combining255;
    for (int i = 0; i < 255; ++i) accented255 += "\u00e9";
    accented256 = accented255 + "\u00e9";
    for (int i = 0; i < 255; ++i) combining255 += "e\u0301";
    // Malformed UTF-8: each stray byte is one replacement character.
    const std::string stray255(255, '\xff'), stray256(256, '\xff');

    struct Case {
        const char* name;
        std::string raw;
        std::variant<std::string, Error> expected;
    };
    const Case cases[] = {
        {"double quotes", "\"/tmp/with space\"", std::string("/tmp/with space")},
        {"single quotes", "'/tmp/x'", std::string("/tmp/x")},
        {"one pair only", "''/tmp/x''", here + "/'/tmp/x'"},
        {"inner quote stays", "\"/tmp/a\"b\"", std::string("/tmp/a\"b")},
        {"mixed quotes stay", "\"/tmp/x'", here + "/\"/tmp/x'"},
        {"lone quote stays", "\"", here + "/\""},
        {"blanks outside quotes keep them", "  '/tmp/x'  ", here + "/'/tmp/x'"},
        {"empty quotes", "\"\"", Error::outputPathMustNotBeEmpty()},
        {"blanks and tabs trimmed", "\t /tmp/x \t", std::string("/tmp/x")},
        {"other space separators trimmed", "\u00a0\u2003/tmp/x\u3000", std::string("/tmp/x")},
        {"blanks inside stay", "/tmp/a b", std::string("/tmp/a b")},
        {"only blanks", " \t ", Error::outputPathMustNotBeEmpty()},
        {"line feed not trimmed", "/tmp/x\n", Error::outputPathInvalidCharacters()},
        {"nul", std::string("/tmp/\0x", 7), Error::outputPathInvalidCharacters()},
        {"delete allowed", "/tmp/\x7f", std::string("/tmp/\x7f")},
        {"tilde alone", "~", home},
        {"tilde folder", "~/reports", home + "/reports"},
        {"parent and trailing slash", "/tmp/a/../b/", std::string("/tmp/b")},
        {"repeated slashes and dots", "/tmp//a/./b", std::string("/tmp/a/b")},
        {"root", "/", std::string("/")},
        {"relative", "reports/today", here + "/reports/today"},
        {"current folder", ".", here},
        {"current folder with slash", "./", here},
        {"255 characters", "/tmp/" + a255, "/tmp/" + a255},
        {"256 characters", "/tmp/" + a256, Error::outputPathFolderNameTooLong()},
        {"256 characters relative", a256, Error::outputPathFolderNameTooLong()},
        {"long name removed by ..", "/tmp/" + a256 + "/..", std::string("/tmp")},
        {"255 two-byte characters", "/tmp/" + accented255, "/tmp/" + accented255},
        {"256 two-byte characters", "/tmp/" + accented256, Error::outputPathFolderNameTooLong()},
        {"255 composed characters", "/tmp/" + combining255, "/tmp/" + combining255},
        {"255 malformed bytes", "/tmp/" + stray255, "/tmp/" + stray255},
        {"256 malformed bytes", "/tmp/" + stray256, Error::outputPathFolderNameTooLong()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ZEPCLIConfiguration::sanitizedOutputURL(c.raw), c.expected) << c.name;
    }
}

TEST(ZEPCLIConfigurationLabel, IsTheProgramNameOrTheProductName) {
    EXPECT_EQ(ZEPCLIConfiguration::executableLabel({}), "Nerova Diagnostic Utility");
    EXPECT_EQ(ZEPCLIConfiguration::executableLabel({"/usr/local/bin/zep-tool", "--cli"}), "zep-tool");
    EXPECT_EQ(ZEPCLIConfiguration::executableLabel({"zep-tool"}), "zep-tool");
}

TEST(ZEPCLIConfigurationOutput, PrintsUsageAndOneErrorLinePerCase) {
    const std::string usage =
        "usage: tool [--cli] [-h | --help] [--output_path <path> | --output_path=<path>]\n";
    struct Case {
        Error error;
        std::string line;
    };
    const Case cases[] = {
        {Error::unknownOption("--bogus"), "tool: error: unrecognized arguments: --bogus\n"},
        {Error::outputPathOnlyWithCLI(), "tool: error: argument --output_path: not allowed without --cli\n"},
        {Error::outputPathRequiresArgument(), "tool: error: argument --output_path: expected one argument\n"},
        {Error::outputPathMustNotBeEmpty(), "tool: error: argument --output_path: path must not be empty\n"},
        {Error::outputPathInvalidCharacters(),
         "tool: error: argument --output_path: path contains invalid characters\n"},
        {Error::outputPathFolderNameTooLong(),
         "tool: error: argument --output_path: folder name longer than 255 characters\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ZEPCLIConfiguration::printCommandLineError(c.error, "tool");
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(err, usage + c.line);
    }
}

}  // namespace
