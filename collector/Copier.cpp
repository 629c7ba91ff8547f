#include "collector/Copier.h"

#include "collector/CollectionText.h"
#include "collector/StatusLogger.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"

namespace fs = platform::fs;

void Copier::createDirectories(const std::string& folder, StatusLogger* statusLogger) const {
    if (fs::fileExists(folder)) return;
    fs::FsError error;
    if (!fs::createDirectory(folder, true, &error) && statusLogger) {
        statusLogger->indicateFailure("Unable to create directory at " +
                                      CollectionText::displayName(fs::lastPathComponent(folder)) + " -> " +
                                      error.description);
    }
}

void Copier::copyItem(const std::string& source, const std::string& destination, StatusLogger* statusLogger) const {
    const std::string from = fs::standardizePath(source);
    const std::string to = fs::standardizePath(destination);
    const std::string fileName = CollectionText::displayName(fs::lastPathComponent(source));
    if (from.empty() || from[0] != '/' || to.empty() || to[0] != '/') {
        if (statusLogger) statusLogger->indicateFailure(source + " or " + destination + " is not a valid file URL");
        return;
    }
    if (!fileURLIsFreeOfSymlinks(from) || !fileURLIsFreeOfSymlinks(to)) {
        if (statusLogger) statusLogger->indicateFailure("Unexpectedly found symlink for " + fileName + ". Skipping file...");
        return;
    }
    if (fs::lastPathComponent(from) == ".DS_Store") return;
    fs::FsError error;
    if (!fs::copyItem(from, to, &error)) {
        if (statusLogger) statusLogger->indicateFailure("Unable to copy source at " + fileName + " -> " + error.description);
        return;
    }
    if (statusLogger) statusLogger->indicateSuccess("Collected " + fileName);
}

bool Copier::allowedSymlink(const std::string& productPath) {
    return !(productPath == "/var" || productPath == "/tmp" || productPath == "/etc");
}

bool Copier::fileURLIsFreeOfSymlinks(const std::string& path) {
    const std::string root = platform::systemRoot();
    std::string current = fs::standardizePath(path);
    while (!current.empty() && current != "/") {
        if (!root.empty() && current == root) return true;
        if (fs::isSymbolicLink(current).value_or(false) && allowedSymlink(platform::unresolveSystemPath(current)))
            return false;
        current = fs::deletingLastPathComponent(current);
    }
    return true;
}
