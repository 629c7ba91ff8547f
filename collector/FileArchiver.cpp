#include "collector/FileArchiver.h"

#include "collector/StatusLogger.h"
#include "platform/fs/FileManager.h"
#include "platform/process/Task.h"
#include "platform/system/SystemEnvironment.h"

namespace fs = platform::fs;

FileArchiver::FileArchiver(std::shared_ptr<StatusLogger> statusLogger, std::string stagingLocation,
                           std::string finalLocation, std::string archiveName, std::string zipLaunchPath)
    : statusLogger_(std::move(statusLogger)),
      stagingLocation_(std::move(stagingLocation)),
      finalLocation_(std::move(finalLocation)),
      archiveName_(std::move(archiveName)),
      zipLaunchPath_(std::move(zipLaunchPath)) {}

bool FileArchiver::archiveFile() {
    const std::string temporaryFolder = fs::standardizePath(platform::temporaryDirectory());
    if (!fs::fileExists(zipLaunchPath_)) {
        statusLogger_->indicateWarning(zipLaunchPath_ + " command path does not exist");
        return false;
    }
    const std::string archiveFileName = archiveName_ + ".zip";
    // zip runs in the staging folder's parent: the archive path must not depend on it.
    const std::string archivePath = fs::appendingPathComponent(fs::absolutePath(finalLocation_), archiveFileName);
    const std::string staging = fs::standardizePath(fs::absolutePath(stagingLocation_));

    platform::Task task;
    task.currentDirectory = fs::deletingLastPathComponent(staging);
    task.launchPath = zipLaunchPath_;
    task.arguments = {"-b", temporaryFolder, "-9", "-r", "-q", "-X", archivePath, fs::lastPathComponent(staging)};
    task.standardInput = platform::Task::Stream::nullDevice();
    task.standardError = platform::Task::Stream::nullDevice();
    std::string launchError;
    if (!task.launch(&launchError)) {
        statusLogger_->indicateFailure("zip failed (" + launchError + ") for " + archivePath);
        return false;
    }
    task.waitUntilExit();
    if (task.terminationReason() == platform::Task::TerminationReason::Exit && task.terminationStatus() == 0) {
        statusLogger_->indicateSuccess("Generated output of " + fs::lastPathComponent(zipLaunchPath_) +
                                       " command to " + archiveFileName);
        return true;
    }
    statusLogger_->indicateFailure("zip failed (exit " + std::to_string(task.terminationStatus()) + ") for " +
                                   archivePath);
    return false;
}
