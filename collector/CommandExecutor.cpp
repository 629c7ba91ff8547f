#include "collector/CommandExecutor.h"

#include "collector/CollectionText.h"
#include "collector/StatusLogger.h"
#include "platform/fs/FileManager.h"
#include "platform/process/Task.h"
#include "platform/system/SystemEnvironment.h"

namespace fs = platform::fs;

CommandExecutor::CommandExecutor(std::string command, const std::string& outputFolder,
                                 std::vector<std::string> parameters, std::string outputFile,
                                 std::shared_ptr<StatusLogger> statusLogger, const std::string& stagingLocation)
    : command_(std::move(command)),
      outputFolder_(fs::appendingPathComponent(stagingLocation, outputFolder)),
      parameters_(std::move(parameters)),
      outputFile_(std::move(outputFile)),
      statusLogger_(std::move(statusLogger)) {}

void CommandExecutor::execCmdToOutput() {
    const std::string program = platform::resolveSystemPath(command_);
    if (!fs::fileExists(program)) {
        statusLogger_->indicateWarning(command_ + " command path does not exist");
        return;
    }
    const std::string outputPath = fs::appendingPathComponent(outputFolder_, outputFile_);
    if (!fs::createFile(outputPath)) {
        platform::Error error;
        if (!fs::createDirectory(fs::deletingLastPathComponent(outputPath), true, &error)) {
            statusLogger_->indicateFailure("Error creating file for command " + command_ + " at path " + outputPath +
                                           " -> " + error.description);
        } else if (!fs::createFile(outputPath)) {
            statusLogger_->indicateFailure("Unable to create file at " + outputPath);
        }
    }
    platform::Error openError;
    auto output = platform::FileHandle::forWritingAtPath(outputPath, &openError);
    if (!output) {
        statusLogger_->indicateFailure("Could not output " + command_ + " command to file -> " + openError.description);
        return;
    }

    platform::Task task;
    task.launchPath = program;
    // Paths among the arguments name the product's files, read under the same root.
    for (const std::string& parameter : parameters_) task.arguments.push_back(platform::resolveSystemPath(parameter));
    task.standardOutput = platform::Task::Stream::to(output);
    task.standardOutputLimit = outputLimit_;
    task.standardError = platform::Task::Stream::nullDevice();
    // A command that waits for input would otherwise hang a terminal run.
    task.standardInput = platform::Task::Stream::nullDevice();
    platform::Error launchError;
    if (!task.launch(&launchError)) {
        statusLogger_->indicateFailure("Could not run " + command_ + " -> " + launchError.description);
        return;
    }
    task.waitUntilExit(std::chrono::duration_cast<std::chrono::milliseconds>(timeLimit_));
    if (task.outputLimitReached()) {
        statusLogger_->indicateFailure(command_ + " command output was cut at " + CollectionText::byteCount(outputLimit_) +
                                       " and the command was ended; the output up to then is in " + outputFile_);
        return;
    }
    if (task.timedOut()) {
        statusLogger_->indicateFailure(command_ + " command did not finish within " + std::to_string(timeLimit_.count()) +
                                       " seconds and was ended; its output up to then is in " + outputFile_);
        return;
    }
    statusLogger_->indicateSuccess("Generated output of " + fs::lastPathComponent(command_) + " command to " +
                                   outputFile_);
}
