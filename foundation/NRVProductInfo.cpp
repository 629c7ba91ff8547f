#include "foundation/NRVProductInfo.h"

#include <atomic>

#include "platform/plist/PropertyList.h"
#include "platform/system/SystemEnvironment.h"

namespace {

constexpr const char* kAutoUpdatePlist = "/Library/Nerova Anti-Virus/plw.plist";
constexpr const char* kProductInfoPlist = "/Library/Nerova Anti-Virus/product-info.plist";

// -1 unknown, 0 no, 1 yes. Atomic so that concurrent first calls are not a race.
std::atomic<int> cachedIsNerovaHome{-1};

}  // namespace

bool NRVProductInfo::isHomeEdition() {
    auto list = platform::plist::readFile(platform::resolveSystemPath(kAutoUpdatePlist));
    if (!list) return false;
    const NRVValue* guids = (*list)["GUIDs"];
    if (!guids || !guids->asArray()) return false;
    for (const NRVValue& guid : *guids->asArray())
        if (const std::string* s = guid.asString(); s && *s == kHomeAutoUpdateGUID) return true;
    return false;
}

bool NRVProductInfo::isNerovaHome() {
    int cached = cachedIsNerovaHome.load();
    if (cached >= 0) return cached == 1;
    bool home = false;
    if (auto info = platform::plist::readFile(platform::resolveSystemPath(kProductInfoPlist))) {
        const NRVValue* product = (*info)["Product"];
        home = product && product->asString() && *product->asString() == kHomeProductGUID;
    }
    cachedIsNerovaHome.store(home ? 1 : 0);
    return home;
}

void NRVProductInfo::resetIsNerovaHomeTo(std::optional<bool> value) {
    cachedIsNerovaHome.store(value ? (*value ? 1 : 0) : -1);
}

bool NRVProductInfoIsNerovaHome() { return NRVProductInfo::isNerovaHome(); }
