// The windowed program's command line: whether to show help, run the
// collection in the terminal or start the window, and the texts it prints.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

// Why a command line was refused.
struct ZEPCLICommandLineError {
    enum class Case {
        unknownOption,
        outputPathOnlyWithCLI,
        outputPathRequiresArgument,
        outputPathMustNotBeEmpty,
        outputPathInvalidCharacters,
        outputPathFolderNameTooLong,
    };

    Case kind = Case::unknownOption;
    std::string argument;  // unknownOption only: the argument as typed

    static ZEPCLICommandLineError unknownOption(std::string argument) {
        return {Case::unknownOption, std::move(argument)};
    }
    static ZEPCLICommandLineError outputPathOnlyWithCLI() { return {Case::outputPathOnlyWithCLI, {}}; }
    static ZEPCLICommandLineError outputPathRequiresArgument() { return {Case::outputPathRequiresArgument, {}}; }
    static ZEPCLICommandLineError outputPathMustNotBeEmpty() { return {Case::outputPathMustNotBeEmpty, {}}; }
    static ZEPCLICommandLineError outputPathInvalidCharacters() { return {Case::outputPathInvalidCharacters, {}}; }
    static ZEPCLICommandLineError outputPathFolderNameTooLong() { return {Case::outputPathFolderNameTooLong, {}}; }

    bool operator==(const ZEPCLICommandLineError&) const = default;
};

// The outcome of reading the command line.
struct ZEPCLIConfigurationResult {
    struct showHelp {
        std::string executableLabel;
        bool operator==(const showHelp&) const = default;
    };
    // The output folder as an absolute path; absent when only --cli was given.
    struct runCollection {
        std::optional<std::string> outputDirectory;
        bool operator==(const runCollection&) const = default;
    };
    struct commandLineError {
        ZEPCLICommandLineError error;
        bool operator==(const commandLineError&) const = default;
    };
    struct continueWithGUI {
        bool operator==(const continueWithGUI&) const = default;
    };

    std::variant<showHelp, runCollection, commandLineError, continueWithGUI> value;

    bool operator==(const ZEPCLIConfigurationResult&) const = default;
};

class ZEPCLIConfiguration {
public:
    ZEPCLIConfiguration() = delete;

    static constexpr const char* productName = "Nerova Diagnostic Utility";

    // `arguments` includes argument 0, the program's path.
    static ZEPCLIConfigurationResult parse(const std::vector<std::string>& arguments);
    static bool argumentsIndicateCLI(const std::vector<std::string>& arguments);
    // The cleaned folder as an absolute path, or why the value was refused.
    // Whether the folder exists is left to the run.
    static std::variant<std::string, ZEPCLICommandLineError> sanitizedOutputURL(const std::string& value);

    // The name the program was started under: the last component of argument 0,
    // or the product name when there are no arguments at all.
    static std::string executableLabel(const std::vector<std::string>& arguments);

    static void printHelp(const std::string& executableLabel);
    static void printUsageAndError(const std::string& executableLabel, const std::string& detail);
    static void printCommandLineError(const ZEPCLICommandLineError& error, const std::string& executableLabel);

private:
    static std::string stripQuotes(const std::string& text);
};
