#include "collector/FileCopier.h"

#include <algorithm>

#include "collector/CollectionText.h"
#include "collector/StatusLogger.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"

namespace fs = platform::fs;

FileCopier::FileCopier(const std::string& fileOutputFolder, std::vector<std::string> sources,
                       std::shared_ptr<StatusLogger> statusLogger, const std::string& stagingLocation,
                       SourcePaths sourcePaths, Reporting reporting)
    : outputFolder_(fs::appendingPathComponent(stagingLocation, fileOutputFolder)),
      sources_(std::move(sources)),
      statusLogger_(std::move(statusLogger)),
      sourcePaths_(sourcePaths),
      reporting_(reporting) {}

void FileCopier::warn(const std::string& message) const {
    if (statusLogger_ && reporting_ == Reporting::All) statusLogger_->indicateWarning(message);
}

bool FileCopier::performCopy() {
    bool allCopied = true;
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
            for (const std::string& match : matches)
                allCopied = copyToOutputFolder(match, fs::lastPathComponent(match)) && allCopied;
            continue;
        }
        const std::string fileName = fs::lastPathComponent(real);
        if (!fs::fileExists(real)) {
            warn(CollectionText::displayName(fileName) + " does not exist");
            continue;
        }
        std::string storedName = fileName;
        std::replace(storedName.begin(), storedName.end(), ':', '-');
        allCopied = copyToOutputFolder(real, storedName) && allCopied;
    }
    return allCopied;
}

bool FileCopier::copyToOutputFolder(const std::string& realSource, const std::string& fileName) {
    std::string destination = fs::appendingPathComponent(outputFolder_, fileName);
    if (fs::contentsEqual(realSource, destination)) return true;
    if (fs::itemExists(destination))
        destination = fs::appendingPathComponent(outputFolder_, platform::userName() + "-" + fileName);
    createDirectories(outputFolder_, statusLogger_.get());
    return copyItem(realSource, destination, statusLogger_.get(), reporting_ == Reporting::All);
}
