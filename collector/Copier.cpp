#include "collector/Copier.h"

#include <cerrno>

#include "collector/CollectionText.h"
#include "collector/StatusLogger.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"

namespace fs = platform::fs;

namespace {

// Sources are opened from the system root (trusted as a whole) or from "/";
// only the system's own links may lie on the way.
fs::LinkPolicy sourceLinkPolicy() {
    const std::string root = platform::systemRoot();
    fs::LinkPolicy policy;
    policy.trustedFolder = root.empty() ? "/" : root;
    for (const char* link : {"/var", "/tmp", "/etc"}) policy.allowedLinks.push_back(root + link);
    return policy;
}

}  // namespace

bool Copier::createDirectories(const std::string& folder, StatusLogger* statusLogger) const {
    if (fs::fileExists(folder)) return true;
    platform::Error error;
    if (fs::createDirectory(folder, true, &error)) return true;
    if (statusLogger) {
        statusLogger->indicateFailure("Unable to create directory at " +
                                      CollectionText::displayName(fs::lastPathComponent(folder)) + " -> " +
                                      error.description);
    }
    return false;
}

bool Copier::copyItem(const std::string& source, const std::string& destination, StatusLogger* statusLogger,
                      bool reportSuccess) const {
    const std::string from = fs::standardizePath(source);
    const std::string to = fs::standardizePath(destination);
    const std::string fileName = CollectionText::displayName(fs::lastPathComponent(source));
    if (from.empty() || from[0] != '/' || to.empty() || to[0] != '/') {
        if (statusLogger) statusLogger->indicateFailure(source + " or " + destination + " is not a valid file URL");
        return false;
    }
    const std::string symlinkFailure = "Unexpectedly found symlink for " + fileName + ". Skipping file...";
    if (!fileURLIsFreeOfSymlinks(to)) {
        if (statusLogger) statusLogger->indicateFailure(symlinkFailure);
        return false;
    }
    if (fs::lastPathComponent(from) == ".DS_Store") return true;
    platform::Error error;
    if (!fs::copyItem(from, to, sourceLinkPolicy(), &error)) {
        if (statusLogger) {
            statusLogger->indicateFailure(error.code == ELOOP ? symlinkFailure
                                                              : "Unable to copy source at " + fileName + " -> " +
                                                                    error.description);
        }
        return false;
    }
    if (statusLogger && reportSuccess) statusLogger->indicateSuccess("Collected " + fileName);
    return true;
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
