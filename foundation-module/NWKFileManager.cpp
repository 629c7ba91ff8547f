#include "foundation-module/NWKFileManager.h"

#include "platform/fs/FileManager.h"

NWKFileManager& NWKFileManager::defaultManager() {
    static NWKFileManager manager;
    return manager;
}

bool NWKFileManager::fileExists(const std::string& atPath) const { return platform::fs::fileExists(atPath); }

bool NWKFileManager::moveItem(const std::string& atPath, const std::string& toPath, NRVError* error) const {
    platform::Error fsError;
    if (platform::fs::moveItemWithoutReplacing(atPath, toPath, &fsError)) return true;
    NRVSetError(error, NRVError("NSPOSIXErrorDomain", fsError.code, fsError.description));
    return false;
}
