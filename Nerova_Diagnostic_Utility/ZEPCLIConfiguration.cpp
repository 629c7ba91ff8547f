#include "Nerova_Diagnostic_Utility/ZEPCLIConfiguration.h"

#include <unicode/ubrk.h>

#include <cstdio>
#include <optional>
#include <string_view>

#include "foundation/NRVUnicodeScalars.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"
#include "platform/text/UTF8Bridge.h"

namespace {

constexpr std::string_view kHelp = "--help";
constexpr std::string_view kShortHelp = "-h";
constexpr std::string_view kCLI = "--cli";
constexpr std::string_view kOutputPath = "--output_path";
constexpr std::string_view kOutputPathAssign = "--output_path=";

constexpr std::size_t kMaxFolderNameCharacters = 255;

constexpr std::string_view kUsageOptions =
    " [--cli] [-h | --help] [--output_path <path> | --output_path=<path>]";

using NRVUnicodeScalars::isWhiteSpace;
using NRVUnicodeScalars::next;

std::string trimWhitespaces(const std::string& text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t after = begin;
        if (!isWhiteSpace(next(text, after))) break;
        begin = after;
    }
    std::size_t end = begin;  // one past the last scalar that is not white space
    for (std::size_t i = begin; i < text.size();) {
        if (!isWhiteSpace(next(text, i))) end = i;
    }
    return text.substr(begin, end - begin);
}

bool hasControlCharacter(std::string_view text) {
    // Every scalar below U+0020 is a single byte in UTF-8, and no byte of a
    // longer sequence is below 0x80, so a byte scan is exact.
    for (unsigned char c : text) {
        if (c < 0x20) return true;
    }
    return false;
}


// User-perceived characters (grapheme clusters), the unit in which folder
// names are limited, so that accented or composed names are not cut short.
std::size_t characterCount(std::string_view text) {
    // Too long for the bridge: the byte count is the higher bound, and far
    // above the limit anyway.
    const std::optional<icu::UnicodeString> units = platform::text::unicodeFromUTF8(text);
    if (!units) return text.size();
    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator* breaks = ubrk_open(UBRK_CHARACTER, "", units->getBuffer(), units->length(), &status);
    if (U_FAILURE(status)) return text.size();
    std::size_t count = 0;
    for (int32_t position = ubrk_next(breaks); position != UBRK_DONE; position = ubrk_next(breaks)) ++count;
    ubrk_close(breaks);
    return count;
}

bool isFolderNameTooLong(const std::string& component) {
    // No character is shorter than one byte: short names need no counting.
    if (component.size() <= kMaxFolderNameCharacters) return false;
    return characterCount(component) > kMaxFolderNameCharacters;
}

std::string detailText(const ZEPCLICommandLineError& error) {
    using Case = ZEPCLICommandLineError::Case;
    switch (error.kind) {
        case Case::unknownOption:
            return "unrecognized arguments: " + error.argument;
        case Case::outputPathOnlyWithCLI:
            return "argument --output_path: not allowed without --cli";
        case Case::outputPathRequiresArgument:
            return "argument --output_path: expected one argument";
        case Case::outputPathMustNotBeEmpty:
            return "argument --output_path: path must not be empty";
        case Case::outputPathInvalidCharacters:
            return "argument --output_path: path contains invalid characters";
        case Case::outputPathFolderNameTooLong:
            return "argument --output_path: folder name longer than 255 characters";
    }
    return {};
}

void writeAndFlush(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace

ZEPCLIConfigurationResult ZEPCLIConfiguration::parse(const std::vector<std::string>& arguments) {
    using Result = ZEPCLIConfigurationResult;
    if (!argumentsIndicateCLI(arguments)) return {Result::continueWithGUI{}};

    bool sawCLI = false;
    std::optional<std::string> outputDirectory;
    // The first decisive argument from the left wins: an error stops the scan
    // before a later --help is seen, and --help stops it before later errors.
    for (std::size_t i = 1; i < arguments.size();) {
        const std::string& argument = arguments[i];
        if (argument == kHelp || argument == kShortHelp) {
            return {Result::showHelp{executableLabel(arguments)}};
        }
        if (argument == kCLI) {
            sawCLI = true;
            ++i;
            continue;
        }
        std::optional<std::string> value;
        if (argument.starts_with(kOutputPathAssign)) {
            value = argument.substr(kOutputPathAssign.size());
            ++i;
        } else if (argument == kOutputPath) {
            if (i + 1 >= arguments.size()) {
                return {Result::commandLineError{ZEPCLICommandLineError::outputPathRequiresArgument()}};
            }
            // The next argument is the value whatever it looks like, "--cli" included.
            value = arguments[i + 1];
            i += 2;
        } else {
            return {Result::commandLineError{ZEPCLICommandLineError::unknownOption(argument)}};
        }
        auto sanitized = sanitizedOutputURL(*value);
        if (auto* error = std::get_if<ZEPCLICommandLineError>(&sanitized)) {
            return {Result::commandLineError{*error}};
        }
        outputDirectory = std::get<std::string>(std::move(sanitized));  // the last good path wins
    }

    if (outputDirectory && !sawCLI) {
        return {Result::commandLineError{ZEPCLICommandLineError::outputPathOnlyWithCLI()}};
    }
    if (sawCLI) return {Result::runCollection{outputDirectory}};
    return {Result::continueWithGUI{}};
}

bool ZEPCLIConfiguration::argumentsIndicateCLI(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) return false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == kCLI || argument == kHelp || argument == kShortHelp || argument == kOutputPath ||
            argument.starts_with(kOutputPathAssign)) {
            return true;
        }
    }
    return false;
}

std::variant<std::string, ZEPCLICommandLineError> ZEPCLIConfiguration::sanitizedOutputURL(const std::string& value) {
    // Quotes first, blanks second: blanks outside a pair of quotes keep the quotes.
    const std::string trimmed = trimWhitespaces(stripQuotes(value));
    if (trimmed.empty()) return ZEPCLICommandLineError::outputPathMustNotBeEmpty();
    if (hasControlCharacter(trimmed)) return ZEPCLICommandLineError::outputPathInvalidCharacters();

    std::string standardized = platform::fs::standardizePath(platform::expandTilde(trimmed));
    // A path made only of "." components names the current folder; it must
    // not be mistaken for an empty path.
    if (standardized.empty() && trimmed.find_first_not_of("./") == std::string::npos &&
        trimmed.find('.') != std::string::npos) {
        standardized.assign(1, '.');
    }
    if (standardized.empty()) return ZEPCLICommandLineError::outputPathMustNotBeEmpty();

    for (const std::string& component : platform::fs::pathComponents(standardized)) {
        if (component == "/") continue;
        if (isFolderNameTooLong(component)) return ZEPCLICommandLineError::outputPathFolderNameTooLong();
    }
    // A relative path is taken against the folder the program was started in.
    return platform::fs::standardizePath(platform::fs::absolutePath(standardized));
}

std::string ZEPCLIConfiguration::executableLabel(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return productName;
    return platform::fs::lastPathComponent(arguments.front());
}

std::string ZEPCLIConfiguration::stripQuotes(const std::string& text) {
    if (text.size() < 2) return text;
    const char first = text.front();
    if ((first == '"' || first == '\'') && text.back() == first) return text.substr(1, text.size() - 2);
    return text;
}

void ZEPCLIConfiguration::printHelp(const std::string& executableLabel) {
    const std::string& label = executableLabel;
    std::string text;
    text += "Nerova Diagnostic Utility (ZEP)\n";
    text += "\n";
    text += "usage:\n";
    text += "    " + label + std::string(kUsageOptions) + "\n";
    text += "\n";
    text += "options:\n";
    text += "    --cli                  => run collection from the command line; writes a .zip archive to the "
            "current working directory unless --output_path is set\n";
    text += "    -h, --help             => print this message and exit successfully\n";
    text += "    --output_path <path>   => directory that must already exist and be writable; archive is created "
            "inside it as hostname_timestamp_ZEP.zip (requires --cli)\n";
    text += "\n";
    text += "arguments:\n";
    text += "    path                   => for --output_path: absolute or relative directory path; each path "
            "component (folder name) must be at most 255 characters; system limits apply to full path length\n";
    text += "    path forms             => --output_path <path> or --output_path=<path> (no space after '='); "
            "optional matching quotes around the path, e.g. --output_path \"/path\" or "
            "--output_path=\"/path with spaces\"\n";
    text += "\n";
    text += "return codes:\n";
    text += "    0                      => success (help was shown, or collection finished and the archive was "
            "created)\n";
    text += "    1                      => failure (invalid options or arguments, output directory invalid, or "
            "collection / archive creation failed)\n";
    text += "\n";
    text += "notes:\n";
    text += "    Without --cli (and without other CLI-only flags such as -h, --help, or --output_path), the "
            "graphical application is started.\n";
    text += "    --output_path is only valid together with --cli.\n";
    text += "    When --cli is used and --output_path is omitted, the current working directory is used; it must "
            "exist and be writable.\n";
    text += "    Progress lines during --cli match the in-app collection log; subprocess stderr is not echoed to "
            "the terminal.\n";
    text += "\n";
    text += "examples:\n";
    for (const char* example : {" -h", " --cli", " --cli --output_path ~/Desktop", " --cli --output_path=/tmp/reports",
                                " --cli --output_path=\"/path\"", " --cli --output_path \"/path with spaces\""}) {
        text += "    " + label + example + "\n";
    }
    writeAndFlush(stdout, text);
}

void ZEPCLIConfiguration::printUsageAndError(const std::string& executableLabel, const std::string& detail) {
    writeAndFlush(stderr, "usage: " + executableLabel + std::string(kUsageOptions) + "\n" + executableLabel +
                              ": error: " + detail + "\n");
}

void ZEPCLIConfiguration::printCommandLineError(const ZEPCLICommandLineError& error,
                                                const std::string& executableLabel) {
    printUsageAndError(executableLabel, detailText(error));
}
