#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "collector/WildCardExtractor.h"
#include "platform/dispatch/OperationQueue.h"

class StatusLogger;

// Runs one command of the catalogue and keeps its standard output in a file
// of the staging tree.
//
// Threading: main() runs on the thread of the operation queue that starts
// it, and blocks that thread until the command ends or its time limit ends
// it. It writes to the status logger, which is not thread-safe: the queue
// runs one operation at a time. The setters and accessors are for the thread
// that builds the operation, before it is added to a queue.
class CommandExecutor : public platform::Operation, public WildCardExtractor {
public:
    // A command that outlives this is ended with its whole process group.
    static constexpr std::chrono::seconds kTimeLimit{300};
    // A command printing more than this would fill the temporary folder and
    // sink the whole collection: it is ended and its output cut here.
    static constexpr std::uint64_t kOutputLimit = 1ull << 30;

    CommandExecutor(std::string command, const std::string& outputFolder, std::vector<std::string> parameters,
                    std::string outputFile, std::shared_ptr<StatusLogger> statusLogger,
                    const std::string& stagingLocation);

    void main() override { execCmdToOutput(); }
    void execCmdToOutput();

    const std::string& command() const { return command_; }
    const std::vector<std::string>& parameters() const { return parameters_; }
    const std::string& outputFolder() const { return outputFolder_; }
    const std::string& outputFile() const { return outputFile_; }
    void setTimeLimit(std::chrono::seconds limit) { timeLimit_ = limit; }
    void setOutputLimit(std::uint64_t bytes) { outputLimit_ = bytes; }

private:
    std::string command_;
    std::string outputFolder_;
    std::vector<std::string> parameters_;
    std::string outputFile_;
    std::shared_ptr<StatusLogger> statusLogger_;
    std::chrono::seconds timeLimit_ = kTimeLimit;
    std::uint64_t outputLimit_ = kOutputLimit;
};
