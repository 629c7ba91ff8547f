// The collection run without a window: names the archive, checks the output
// folder, drives the collection and waits for its end.
#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

// The named-service client; only the agent-driven program talks through it.
class NRVXPCClientHelper;

// Why the output folder cannot take the archive. The path is the folder's.
class RunCLIOutputError : public std::exception {
public:
    enum class Case { directoryDoesNotExist, notADirectory, directoryNotWritable };

    static RunCLIOutputError directoryDoesNotExist(std::string path) {
        return {Case::directoryDoesNotExist, std::move(path)};
    }
    static RunCLIOutputError notADirectory(std::string path) { return {Case::notADirectory, std::move(path)}; }
    static RunCLIOutputError directoryNotWritable(std::string path) {
        return {Case::directoryNotWritable, std::move(path)};
    }

    Case kind() const { return kind_; }
    const std::string& path() const { return path_; }
    // The text printed after "error: ".
    const std::string& detailText() const { return detail_; }
    const char* what() const noexcept override { return detail_.c_str(); }

    bool operator==(const RunCLIOutputError& other) const { return kind_ == other.kind_ && path_ == other.path_; }

private:
    RunCLIOutputError(Case kind, std::string path);

    Case kind_;
    std::string path_;
    std::string detail_;
};

// Any other failure to settle the output folder, such as a current folder
// that has been removed since the program started; printed after
// "failed to prepare output location: ".
class OutputLocationError : public std::exception {
public:
    explicit OutputLocationError(std::string description) : description_(std::move(description)) {}
    const std::string& localizedDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string description_;
};

class ZEPCommandLine {
public:
    using DispatchTimeInterval = std::chrono::nanoseconds;

    ZEPCommandLine(std::shared_ptr<NRVXPCClientHelper> agentClientHelper, DispatchTimeInterval timeoutInterval);

    // Runs the whole collection into `outputDirectory` (the current folder when
    // absent) and blocks until it has finished. true when the archive was created.
    bool runCLI(const std::optional<std::string>& outputDirectory);

    // The folder that will receive the archive, checked, and the name unchanged.
    // Throws RunCLIOutputError when the folder cannot take the archive, and
    // OutputLocationError when there is no folder to check.
    static std::pair<std::string, std::string> ensureCLIOutputDirectoryAndArchiveName(
        const std::optional<std::string>& outputDirectory, const std::string& generatedArchiveName);
    static void validateExistingWritableDirectory(const std::string& directory);
    static void printRunCLIPrepareError(const RunCLIOutputError& error, const std::string& executableLabel);

    // "<host>_<yyyyMMdd_HHmmss in local time>_ZEP", with the characters that
    // file names cannot safely carry removed from the host part. Without a
    // host name the login name stands in for it.
    static std::string makeArchiveName(const std::optional<std::string>& localizedHostName,
                                       const std::string& userName, std::chrono::system_clock::time_point date);

    // What the agent-driven program's hand-shake with the management agent
    // uses: the per-user service, its client and the wait for each answer.
    const std::string& serviceName() const { return serviceName_; }
    const std::shared_ptr<NRVXPCClientHelper>& xpcAgentClientHelper() const { return xpcAgentClientHelper_; }
    DispatchTimeInterval xpcTimeoutInterval() const { return xpcTimeoutInterval_; }

private:
    std::string serviceName_;
    std::shared_ptr<NRVXPCClientHelper> xpcAgentClientHelper_;
    DispatchTimeInterval xpcTimeoutInterval_;
};
