#include "foundation-module/NWKFileManager.h"

#include "platform/fs/FileManager.h"

NWKFileManager& NWKFileManager::defaultManager() {
    static NWKFileManager manager;
    return manager;
}

bool NWKFileManager::fileExists(const std::string& atPath) const { return platform::fs::fileExists(atPath); }

void NWKFileManager::moveItem(const std::string& atPath, const std::string& toPath) const {
    platform::Error error;
    if (!platform::fs::moveItemWithoutReplacing(atPath, toPath, &error))
        throw NRVError("NSPOSIXErrorDomain", error.code, error.description);
}
