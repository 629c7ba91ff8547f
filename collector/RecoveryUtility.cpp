#include "collector/RecoveryUtility.h"

#include "collector/CollectionText.h"
#include "collector/StatusLogger.h"
#include "platform/fs/FileManager.h"
#include "platform/process/Task.h"

namespace fs = platform::fs;

RecoveryUtility::RecoveryUtility(std::shared_ptr<StatusLogger> statusLogger, std::string gzipLaunchPath)
    : statusLogger_(std::move(statusLogger)), gzipLaunchPath_(std::move(gzipLaunchPath)) {}

int RecoveryUtility::launchProcess(const std::string& launchPath, const std::vector<std::string>& arguments,
                                   const std::optional<std::string>& standardOutPath,
                                   std::optional<std::uint64_t> outputLimit, bool* outputCut) {
    platform::Task task;
    task.launchPath = launchPath;
    task.arguments = arguments;
    task.standardInput = platform::Task::Stream::nullDevice();
    task.standardError = platform::Task::Stream::nullDevice();
    if (standardOutPath) {
        auto handle = platform::FileHandle::forWritingAtPath(*standardOutPath);
        if (!handle) return -1;
        task.standardOutput = platform::Task::Stream::to(handle);
        task.standardOutputLimit = outputLimit;
    }
    if (!task.launch()) return -1;
    task.waitUntilExit();
    if (outputCut) *outputCut = task.outputLimitReached();
    if (task.terminationReason() != platform::Task::TerminationReason::Exit) return -1;
    return task.terminationStatus();
}

bool RecoveryUtility::isArchiveValid(const std::string& path) {
    const std::string fileName = CollectionText::displayName(fs::lastPathComponent(path));
    if (!fs::fileExists(path)) {
        statusLogger_->indicateWarning(fileName + " file does not exist. Skipping validity check...");
        return true;
    }
    if (launchProcess(gzipLaunchPath_, {testFlag, "--", path}, std::nullopt) == 0) return true;
    statusLogger_->indicateWarning(fileName + " has not been archived properly.");
    return false;
}

void RecoveryUtility::recoverArchiveIfRequired(const std::string& path) {
    const std::string fileName = CollectionText::displayName(fs::lastPathComponent(path));
    if (isArchiveValid(path)) return;
    statusLogger_->updateStatus("Attempting to recover " + fileName + "...");
    const std::string repairPath = fs::deletingPathExtension(path) + ".recovered";
    const std::string repairName = CollectionText::displayName(fs::lastPathComponent(repairPath));
    if (!fs::createFile(repairPath)) {
        statusLogger_->indicateFailure("Unable to create recover file at " + repairPath);
        return;
    }
    platform::Error openError;
    if (!platform::FileHandle::forWritingAtPath(repairPath, &openError)) {
        statusLogger_->updateStatus("Error creating file handle: " + openError.description);
        return;
    }
    // Whatever can still be decompressed lands in the repair file, up to the limit.
    bool cut = false;
    launchProcess(gzipLaunchPath_, {recoverFlag, "--", path}, repairPath, repairOutputLimit_, &cut);
    if (cut) {
        statusLogger_->indicateFailure("Recovery of " + fileName + " was cut at " +
                                       CollectionText::byteCount(repairOutputLimit_) + "; " + repairName +
                                       " holds what was recovered up to then");
    }
    // Status 1 is gzip's error. Its warning status 2 often comes with a
    // compressed copy made all the same, but also when gzip left the file
    // alone (a file of the new name already there, say a product file copied
    // into the folder): only a copy that took the repair file's place counts.
    const int status = launchProcess(gzipLaunchPath_, {"--", repairPath}, std::nullopt);
    const bool compressed =
        status == 0 || (status != 1 && !fs::itemExists(repairPath) && fs::fileExists(repairPath + ".gz"));
    if (!compressed) {
        statusLogger_->updateStatus("Error compressing " + repairName);
        return;
    }
    statusLogger_->indicateSuccess("Recovered " + fileName + " as " + repairName + ".gz");
}
