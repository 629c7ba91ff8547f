#include "collector/DirectoryCopier.h"

#include <cerrno>

#include "collector/CollectionText.h"
#include "collector/FileCopier.h"
#include "collector/StatusLogger.h"
#include "platform/system/SystemEnvironment.h"

namespace fs = platform::fs;

DirectoryCopier::DirectoryCopier(const std::string& outputFolder, std::string collectionName,
                                 std::vector<std::string> sources, std::shared_ptr<StatusLogger> statusLogger,
                                 const std::string& stagingLocation)
    : outputFolder_(fs::appendingPathComponent(stagingLocation, outputFolder)),
      stagingLocation_(stagingLocation),
      collectionName_(std::move(collectionName)),
      sources_(std::move(sources)),
      statusLogger_(std::move(statusLogger)) {}

void DirectoryCopier::performCopy() {
    for (const std::string& source : sources_) {
        const std::string folder = platform::resolveSystemPath(source);
        if (!fs::fileExists(folder)) {
            if (statusLogger_) statusLogger_->indicateWarning(collectionName_ + " directory does not exist");
            continue;
        }
        createDirectories(outputFolder_, statusLogger_.get());
        copyDirectory(folder, outputFolder_);
    }
}

bool DirectoryCopier::copyDirectory(const std::string& directory, const std::string& destination, int depth) {
    platform::Error error;
    // Bounded: a tree this deep is not one the product wrote.
    if (depth > kMaxDepth) error = {.operation = "copy", .code = ELOOP, .description = "The folder is nested too deeply.", .status = 0};
    auto listing = depth > kMaxDepth ? std::nullopt : fs::contentsOfDirectory(directory, true, &error);
    if (!listing) {
        if (statusLogger_) statusLogger_->indicateFailure("Issue iterating through " + collectionName_ + " -> " + error.description);
        return false;
    }
    if (listing->empty()) {
        if (statusLogger_) statusLogger_->indicateWarning(collectionName_ + " directory is empty");
        return true;
    }
    if (!copyDirectoryContents(*listing, destination, depth)) return false;
    if (statusLogger_)
        statusLogger_->indicateSuccess("Collected " + CollectionText::displayName(fs::lastPathComponent(directory)));
    return true;
}

bool DirectoryCopier::copyDirectoryContents(const std::vector<fs::DirectoryEntry>& items, const std::string& destination,
                                            int depth) {
    bool allCopied = true;
    for (const auto& item : items) {
        if (!item.isDirectory) {
            // Files inside folders are copied with the same rules and without
            // a line of their own, unless they fail.
            allCopied = FileCopier(destination, {item.path}, statusLogger_, "", FileCopier::SourcePaths::Real,
                                   FileCopier::Reporting::FailuresOnly)
                            .performCopy() &&
                        allCopied;
            continue;
        }
        const std::string target = fs::appendingPathComponent(destination, item.name);
        const bool created = createDirectories(target, statusLogger_.get());
        // Copies into a folder that could not be made fail one by one.
        const bool copied = copyDirectory(item.path, target, depth + 1);
        allCopied = created && copied && allCopied;
    }
    return allCopied;
}
