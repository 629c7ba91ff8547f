#include "foundation-module/NWKDateManager.h"

#include "foundation/NSDateExtensions.h"

const NWKDateManagerProtocol& NWKDateManager::getDefaultManager() {
    static const NWKDateManager manager;
    return manager;
}

NRVDate NWKDateManager::date() const { return NSDateExtensions::now(); }
