#include "foundation-module/CommandRunner.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "foundation-module/DefaultDecoding.h"
#include "foundation/NRVUTF8.h"
#include "platform/process/Task.h"

namespace {

using Clock = std::chrono::steady_clock;
using Result = CommandRunner::CommandRunnerResult::Result;

constexpr const char* kShell = "/bin/zsh";

struct TimeoutError {};
struct LaunchError {
    std::string description;
};

// One command line, launched once. The deadline is enforced by the wait
// itself: the task is ended with its process group while it is still ours to
// reap, so no signal can reach a process id that was reused.
class ShellTask {
public:
    explicit ShellTask(std::string command) : command_(std::move(command)) {}

    std::variant<ShellCommandRunResult, TimeoutError, LaunchError> run(Clock::time_point deadline) {
        platform::Task task;
        task.launchPath = kShell;
        task.arguments = {"-c", command_};
        // The runner's own input is not the command's to consume.
        task.standardInput = platform::Task::Stream::nullDevice();
        // Both pipes are drained at the same time while the command runs, so a
        // command that fills one of them never stalls.
        task.standardOutput = platform::Task::Stream::pipe();
        task.standardError = platform::Task::Stream::pipe();

        const auto start = Clock::now();
        platform::Error launchError;
        if (!task.launch(&launchError)) return LaunchError{std::string(kShell) + ": " + launchError.description};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - start);
        task.waitUntilExit(std::max(left, std::chrono::milliseconds(0)));
        if (task.timedOut()) return TimeoutError{};
        const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();

        ShellCommandRunResult result;
        result.stdOut = NRVUTF8::repaired(task.standardOutputData());
        result.stdErr = NRVUTF8::repaired(task.standardErrorData());
        result.exitCode = task.terminationStatus();
        result.duration = static_cast<std::int64_t>(std::ceil(static_cast<double>(elapsed) / 1e6));
        return result;
    }

private:
    std::string command_;
};

constexpr const char* kCaseNames[] = {"success", "timedOut", "commandError", "internalError"};

}  // namespace

CommandRunner::CommandRunnerResult CommandRunner::run() const {
    CommandRunnerResult outcome;
    // Seconds far beyond any real run are clamped rather than overflowing the clock.
    const auto seconds = std::chrono::seconds(std::clamp<std::int64_t>(timeout, 0, std::int64_t{1} << 40));
    const auto deadline = Clock::now() + seconds;
    for (const auto& command : commands) {
        // A deadline that passed between two commands ends the run before the
        // next one starts.
        if (Clock::now() >= deadline) {
            outcome.result.value = Result::timedOut{};
            return outcome;
        }
        ShellTask task(command);
        auto ran = task.run(deadline);
        if (std::holds_alternative<TimeoutError>(ran)) {
            outcome.result.value = Result::timedOut{};
            return outcome;
        }
        if (auto* failure = std::get_if<LaunchError>(&ran)) {
            outcome.result.value = Result::internalError{failure->description};
            return outcome;
        }
        outcome.commandRunResults.push_back(std::move(std::get<ShellCommandRunResult>(ran)));
        if (!continueOnError && outcome.commandRunResults.back().exitCode != 0) {
            outcome.result.value = Result::commandError{};
            return outcome;
        }
    }
    outcome.result.value = Result::success{};
    return outcome;
}

nlohmann::json ShellCommandRunResult::toJSON() const {
    return nlohmann::json{{"stdOut", stdOut}, {"stdErr", stdErr}, {"exitCode", exitCode}, {"duration", duration}};
}

std::optional<ShellCommandRunResult> ShellCommandRunResult::fromJSON(const nlohmann::json& json) {
    using DefaultDecoding::decodeValue;
    if (!json.is_object()) return std::nullopt;
    auto get = [&]<class T>(const char* key) -> std::optional<T> {
        auto it = json.find(key);
        return it == json.end() ? std::nullopt : decodeValue<T>(*it);
    };
    auto out = get.operator()<std::string>("stdOut");
    auto err = get.operator()<std::string>("stdErr");
    auto code = get.operator()<std::int64_t>("exitCode");
    auto duration = get.operator()<std::int64_t>("duration");
    if (!out || !err || !code || !duration) return std::nullopt;
    return ShellCommandRunResult{*out, *err, *code, *duration};
}

nlohmann::json CommandRunner::CommandRunnerResult::toJSON() const {
    nlohmann::json payload = nlohmann::json::object();
    if (auto* failure = std::get_if<Result::internalError>(&result.value)) payload["_0"] = failure->_0;
    nlohmann::json runs = nlohmann::json::array();
    for (const auto& r : commandRunResults) runs.push_back(r.toJSON());
    return nlohmann::json{{"result", nlohmann::json{{kCaseNames[result.value.index()], payload}}},
                          {"commandRunResults", runs}};
}

std::optional<CommandRunner::CommandRunnerResult> CommandRunner::CommandRunnerResult::fromJSON(
    const nlohmann::json& json) {
    if (!json.is_object()) return std::nullopt;
    auto resultIt = json.find("result");
    auto runsIt = json.find("commandRunResults");
    if (resultIt == json.end() || runsIt == json.end() || !resultIt->is_object() || resultIt->size() != 1 ||
        !runsIt->is_array())
        return std::nullopt;
    const auto entry = resultIt->begin();
    const std::string name = entry.key();
    const nlohmann::json& payload = entry.value();
    if (!payload.is_object()) return std::nullopt;
    CommandRunnerResult decoded;
    if (name == "success") decoded.result.value = Result::success{};
    else if (name == "timedOut") decoded.result.value = Result::timedOut{};
    else if (name == "commandError") decoded.result.value = Result::commandError{};
    else if (name == "internalError") {
        auto it = payload.find("_0");
        auto text = it == payload.end() ? std::nullopt : DefaultDecoding::decodeValue<std::string>(*it);
        if (!text) return std::nullopt;
        decoded.result.value = Result::internalError{*text};
    } else {
        return std::nullopt;
    }
    for (const auto& entry : *runsIt) {
        auto run = ShellCommandRunResult::fromJSON(entry);
        if (!run) return std::nullopt;
        decoded.commandRunResults.push_back(std::move(*run));
    }
    return decoded;
}

void CommandRunner::CommandRunnerResult::ObjcWrapper::encode(NRVDictionary& coder) const {
    const std::string text = result.toJSON().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    coder.set("result", NRVData(text.begin(), text.end()));
}

std::optional<CommandRunner::CommandRunnerResult::ObjcWrapper>
CommandRunner::CommandRunnerResult::ObjcWrapper::initWithCoder(const NRVDictionary& coder) {
    const NRVValue* value = coder.find("result");
    const NRVData* data = value ? value->asData() : nullptr;
    if (!data) return std::nullopt;
    auto json = nlohmann::json::parse(data->begin(), data->end(), nullptr, false);
    if (json.is_discarded()) return std::nullopt;
    auto result = CommandRunnerResult::fromJSON(json);
    if (!result) return std::nullopt;
    return ObjcWrapper(std::move(*result));
}
