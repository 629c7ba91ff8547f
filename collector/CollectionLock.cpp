#include "collector/CollectionLock.h"

#include <cerrno>

#include "platform/fs/FileManager.h"

namespace fs = platform::fs;

std::string CollectionLockError::message() const {
    if (kind == Case::alreadyRunning) return CollectionLock::kAlreadyRunningMessage;
    return "Unable to start a collection: the temporary folder cannot be locked -> " + detail;
}

std::variant<CollectionLock, CollectionLockError> CollectionLock::acquire(const std::string& temporaryFolder) {
    if (temporaryFolder.empty())
        return CollectionLockError{CollectionLockError::Case::unavailable, "no private temporary folder is available"};
    platform::Error error;
    auto fd = fs::lockDirectoryExclusively(temporaryFolder, &error);
    if (fd) return CollectionLock(std::move(*fd));
    if (error.code == EWOULDBLOCK) return CollectionLockError{CollectionLockError::Case::alreadyRunning, ""};
    return CollectionLockError{CollectionLockError::Case::unavailable, error.description};
}
