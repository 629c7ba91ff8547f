#include "collector/DirectoryCopier.h"

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

void DirectoryCopier::copyDirectory(const std::string& directory, const std::string& destination) {
    fs::FsError error;
    auto listing = fs::contentsOfDirectory(directory, true, &error);
    if (!listing) {
        if (statusLogger_) statusLogger_->indicateFailure("Issue iterating through " + collectionName_ + " -> " + error.description);
        return;
    }
    if (listing->empty()) {
        if (statusLogger_) statusLogger_->indicateWarning(collectionName_ + " directory is empty");
        return;
    }
    copyDirectoryContents(*listing, destination);
    if (statusLogger_)
        statusLogger_->indicateSuccess("Collected " + CollectionText::displayName(fs::lastPathComponent(directory)));
}

void DirectoryCopier::copyDirectoryContents(const std::vector<fs::DirectoryEntry>& items, const std::string& destination) {
    for (const auto& item : items) {
        if (!item.isDirectory) {
            // Files inside folders are copied silently, with the same rules.
            FileCopier(destination, {item.path}, nullptr, "", FileCopier::SourcePaths::Real).performCopy();
            continue;
        }
        const std::string target = fs::appendingPathComponent(destination, item.name);
        createDirectories(target, statusLogger_.get());
        copyDirectory(item.path, target);
    }
}
