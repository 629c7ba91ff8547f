#pragma once

#include <memory>
#include <optional>
#include <vector>
#include <string>

class StatusLogger;

// Tests a gzip member and repairs it when it is damaged.
class RecoveryUtility {
public:
    explicit RecoveryUtility(std::shared_ptr<StatusLogger> statusLogger, std::string gzipLaunchPath = "/usr/bin/gzip");

    void recoverArchiveIfRequired(const std::string& path);
    bool isArchiveValid(const std::string& path);
    // Exit status of the program, or -1 when it could not be started.
    int launchProcess(const std::string& launchPath, const std::vector<std::string>& arguments,
                      const std::optional<std::string>& standardOutPath);

    const std::string testFlag = "-t";
    const std::string recoverFlag = "-dc";

private:
    std::shared_ptr<StatusLogger> statusLogger_;
    std::string gzipLaunchPath_;
};
