#include "collector/FileCopier.h"

#include <algorithm>

#include "collector/CollectionText.h"
#include "collector/StatusLogger.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"

namespace fs = platform::fs;

FileCopier::FileCopier(const std::string& fileOutputFolder, std::vector<std::string> sources,
                       std::shared_ptr<StatusLogger> statusLogger, const std::string& stagingLocation,
                       SourcePaths sourcePaths)
    : outputFolder_(fs::appendingPathComponent(stagingLocation, fileOutputFolder)),
      sources_(std::move(sources)),
      statusLogger_(std::move(statusLogger)),
      sourcePaths_(sourcePaths) {}

void FileCopier::warn(const std::string& message) const {
    if (statusLogger_) statusLogger_->indicateWarning(message);
}

void FileCopier::performCopy() {
    for (const std::string& source : sources_) {
        const std::string expanded = platform::expandTilde(source);
        const std::string real = sourcePaths_ == SourcePaths::Product ? platform::resolveSystemPath(source) : expanded;
        // Real paths come from folder listings: a "*" there is part of a name.
        if (sourcePaths_ == SourcePaths::Product && expanded.find(wildChar) != std::string::npos) {
            const std::vector<std::string> matches = retrieveMatchingPaths(real);
            if (matches.empty()) {
                warn("No matching files exist for " + CollectionText::displayName(expanded));
                continue;
            }
            for (const std::string& match : matches) copyToOutputFolder(match, fs::lastPathComponent(match));
            continue;
        }
        const std::string fileName = fs::lastPathComponent(real);
        if (!fs::fileExists(real)) {
            warn(CollectionText::displayName(fileName) + " does not exist");
            continue;
        }
        std::string storedName = fileName;
        std::replace(storedName.begin(), storedName.end(), ':', '-');
        copyToOutputFolder(real, storedName);
    }
}

void FileCopier::copyToOutputFolder(const std::string& realSource, const std::string& fileName) {
    std::string destination = fs::appendingPathComponent(outputFolder_, fileName);
    if (fs::contentsEqual(realSource, destination)) return;
    if (fs::itemExists(destination))
        destination = fs::appendingPathComponent(outputFolder_, platform::userName() + "-" + fileName);
    createDirectories(outputFolder_, statusLogger_.get());
    copyItem(realSource, destination, statusLogger_.get());
}
