#include "collector/FileArchiver.h"

#include "collector/StatusLogger.h"
#include "platform/fs/FileManager.h"
#include "platform/process/Task.h"
#include "platform/signal/TerminationSignals.h"

namespace fs = platform::fs;

FileArchiver::FileArchiver(std::shared_ptr<StatusLogger> statusLogger, std::string stagingLocation,
                           std::string finalLocation, std::string archiveName, std::string zipLaunchPath)
    : statusLogger_(std::move(statusLogger)),
      stagingLocation_(std::move(stagingLocation)),
      finalLocation_(std::move(finalLocation)),
      archiveName_(std::move(archiveName)),
      zipLaunchPath_(std::move(zipLaunchPath)) {}

namespace {

// The archive is private: it holds keychains and keys.
constexpr unsigned kArchiveMode = 0600;

// zip's own folder beside the archive: removed when the archiver is done and
// when the run is interrupted, so neither a partial archive nor zip's
// temporary file stays behind.
class ZipWorkFolder {
public:
    explicit ZipWorkFolder(std::string path)
        : path_(std::move(path)), token_(platform::signal::removeOnTermination(path_)) {}
    ~ZipWorkFolder() {
        fs::removeItem(path_);
        platform::signal::forget(token_);
    }
    ZipWorkFolder(const ZipWorkFolder&) = delete;
    ZipWorkFolder& operator=(const ZipWorkFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::uint64_t token_;
};

}  // namespace

bool FileArchiver::archiveFile() {
    if (!fs::fileExists(zipLaunchPath_)) {
        statusLogger_->indicateWarning(zipLaunchPath_ + " command path does not exist");
        return false;
    }
    const std::string archiveFileName = archiveName_ + ".zip";
    // zip runs in the staging folder's parent: the archive path must not depend on it.
    const std::string finalFolder = fs::absolutePath(finalLocation_);
    const std::string archivePath = fs::appendingPathComponent(finalFolder, archiveFileName);
    const std::string staging = fs::standardizePath(fs::absolutePath(stagingLocation_));

    // zip writes a fresh file in a private folder of the final folder (its
    // temporary file too, so the result is never copied across file systems
    // with a wider mode); the archive then moves into place without
    // replacing anything: a planted file or FIFO of its name is never
    // updated, followed or opened.
    platform::Error error;
    auto workPath = fs::createTemporaryDirectory(finalFolder, ".zip-", &error);
    if (!workPath) {
        statusLogger_->indicateFailure("zip failed (" + error.description + ") for " + archivePath);
        return false;
    }
    ZipWorkFolder work(*workPath);
    const std::string zipped = fs::appendingPathComponent(work.path(), archiveFileName);

    platform::Task task;
    task.currentDirectory = fs::deletingLastPathComponent(staging);
    task.launchPath = zipLaunchPath_;
    // "./": a staging name that begins with "-" is still a name to zip.
    task.arguments = {"-b", work.path(), "-9", "-r", "-q", "-X", zipped, "./" + fs::lastPathComponent(staging)};
    task.standardInput = platform::Task::Stream::nullDevice();
    task.standardError = platform::Task::Stream::nullDevice();
    platform::Error launchError;
    if (!task.launch(&launchError)) {
        statusLogger_->indicateFailure("zip failed (" + launchError.description + ") for " + archivePath);
        return false;
    }
    task.waitUntilExit();
    if (task.terminationReason() != platform::Task::TerminationReason::Exit || task.terminationStatus() != 0) {
        statusLogger_->indicateFailure("zip failed (exit " + std::to_string(task.terminationStatus()) + ") for " +
                                       archivePath);
        return false;
    }
    if (!fs::setPermissions(zipped, kArchiveMode, &error) || !fs::moveItemWithoutReplacing(zipped, archivePath, &error)) {
        statusLogger_->indicateFailure("Unable to move archive into place at " + archivePath + " -> " +
                                       error.description);
        return false;
    }
    statusLogger_->indicateSuccess("Generated output of " + fs::lastPathComponent(zipLaunchPath_) + " command to " +
                                   archiveFileName);
    return true;
}
