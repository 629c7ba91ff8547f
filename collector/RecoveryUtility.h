#pragma once

#include <cstdint>
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
    // What a repair may write: a small damaged member can decompress without
    // bound and would fill the temporary folder.
    static constexpr std::uint64_t kRepairOutputLimit = 256ull << 20;

    // Exit status of the program, or -1 when it could not be started. With an
    // output limit, *outputCut tells whether the program was ended at it.
    int launchProcess(const std::string& launchPath, const std::vector<std::string>& arguments,
                      const std::optional<std::string>& standardOutPath,
                      std::optional<std::uint64_t> outputLimit = std::nullopt, bool* outputCut = nullptr);
    void setRepairOutputLimit(std::uint64_t bytes) { repairOutputLimit_ = bytes; }

    const std::string testFlag = "-t";
    const std::string recoverFlag = "-dc";

private:
    std::shared_ptr<StatusLogger> statusLogger_;
    std::string gzipLaunchPath_;
    std::uint64_t repairOutputLimit_ = kRepairOutputLimit;
};
