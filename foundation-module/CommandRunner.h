// Runs a list of shell command lines one after another through "/bin/zsh -c",
// each with its standard output and standard error captured, under one
// deadline for the whole list.
//
// Threading: run() blocks the calling thread, whichever it is (the main
// thread included: the deadline is kept by the waiting thread itself, not by
// a queue it would have to return to). A CommandRunner is an immutable value;
// separate runs may go on at once on different threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/value/NRVValue.h"

struct ShellCommandRunResult {
    std::string stdOut;  // everything written, as UTF-8 (ill-formed bytes become U+FFFD)
    std::string stdErr;
    std::int64_t exitCode = 0;  // exit status, or the signal number for a signal death
    std::int64_t duration = 0;  // milliseconds from launch to exit, rounded up

    nlohmann::json toJSON() const;
    static std::optional<ShellCommandRunResult> fromJSON(const nlohmann::json& json);
    bool operator==(const ShellCommandRunResult&) const = default;
};

struct CommandRunner {
    std::vector<std::string> commands;
    std::int64_t timeout = 0;  // seconds, for the whole list, from the start of run()
    bool continueOnError = false;

    CommandRunner(std::vector<std::string> commands, std::int64_t timeout, bool continueOnError)
        : commands(std::move(commands)), timeout(timeout), continueOnError(continueOnError) {}

    struct CommandRunnerResult {
        struct Result {
            struct success {
                bool operator==(const success&) const = default;
            };
            struct timedOut {
                bool operator==(const timedOut&) const = default;
            };
            struct commandError {
                bool operator==(const commandError&) const = default;
            };
            struct internalError {
                std::string _0;  // the error's description
                bool operator==(const internalError&) const = default;
            };
            std::variant<success, timedOut, commandError, internalError> value;
            bool operator==(const Result&) const = default;
        };

        Result result;
        // One entry per command that ran to its end, in run order.
        std::vector<ShellCommandRunResult> commandRunResults;

        // {"result": {"<case>": {}} or {"internalError": {"_0": text}},
        //  "commandRunResults": [...]}. Decoding takes exactly one case key.
        nlohmann::json toJSON() const;
        static std::optional<CommandRunnerResult> fromJSON(const nlohmann::json& json);
        bool operator==(const CommandRunnerResult&) const = default;

        class ObjcWrapper;
    };

    // Never throws. Stops at the first failing command unless continueOnError;
    // stops with timedOut when the deadline passes during a command (which is
    // ended with its whole process group and gets no entry) or before the next
    // one starts.
    CommandRunnerResult run() const;
};

// The archiving wrapper: the result's JSON as data under "result".
class CommandRunner::CommandRunnerResult::ObjcWrapper {
public:
    static constexpr const char* kClassName = "NRVShellCommandRunResult";
    static constexpr bool supportsSecureCoding = true;
    explicit ObjcWrapper(CommandRunnerResult result) : result(std::move(result)) {}
    void encode(NRVDictionary& coder) const;
    // nullopt when the entry is missing, not data, or not a result.
    static std::optional<ObjcWrapper> initWithCoder(const NRVDictionary& coder);
    CommandRunnerResult result;
};
