#include "platform/codesign/TrustPolicy.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "platform/plist/PropertyList.h"

#ifndef NRV_CODESIGN_ANCHORS_DIR
#define NRV_CODESIGN_ANCHORS_DIR "/etc/nerova/codesign/anchors"
#endif
#ifndef NRV_CODESIGN_TEAM_ID
#define NRV_CODESIGN_TEAM_ID "N7QRV4K2XD"
#endif

namespace platform::codesign {

namespace {

TrustPolicy makeCompiledIn() {
    TrustPolicy p;
    p.teamIdentifier = NRV_CODESIGN_TEAM_ID;
    p.organization = "Nerova";
    p.allowedPathPrefixes = {
        "/Applications/Nerova Endpoint Protection",
        "/Applications/Nerova Diagnostic Utility.app",
        "/Library/Application Support/Nerova",
        "/Library/Caches/com.nerova.updater",
        "/Library/Nerova",
        "/Library/NerovaAgent",
        "/Library/NerovaSensor",
        "/Library/NerovaUpdater",
        "/Library/SystemExtensions",
    };
    p.anchorsFolder = NRV_CODESIGN_ANCHORS_DIR;
    return p;
}

#ifdef NRV_CODESIGN_POLICY_OVERRIDE
TrustPolicy loadOverride(const std::string& file) {
    TrustPolicy p = makeCompiledIn();
    std::string error;
    auto value = plist::readFile(file, &error);
    const NRVDictionary* d = value ? value->asDictionary() : nullptr;
    if (!d) {
        std::fprintf(stderr, "NRV_CODESIGN_POLICY: cannot read %s; using the built-in trust policy\n", file.c_str());
        return p;
    }
    if (auto v = d->find("TeamIdentifier"); v && v->asString()) p.teamIdentifier = *v->asString();
    if (auto v = d->find("Organization"); v && v->asString()) p.organization = *v->asString();
    if (auto v = d->find("AnchorsFolder"); v && v->asString()) p.anchorsFolder = *v->asString();
    if (auto v = d->find("ServiceUser"); v && v->asInteger() && *v->asInteger() >= 0 && *v->asInteger() <= 0xFFFFFFFE)
        p.serviceUser = static_cast<std::uint32_t>(*v->asInteger());
    if (auto v = d->find("AllowedPathPrefixes"); v && v->asArray()) {
        p.allowedPathPrefixes.clear();
        for (const auto& item : *v->asArray()) {
            if (item.asString()) p.allowedPathPrefixes.push_back(*item.asString());
        }
    }
    return p;
}
#endif

}  // namespace

const TrustPolicy& TrustPolicy::compiledIn() {
    static const TrustPolicy& policy = *new TrustPolicy(makeCompiledIn());
    return policy;
}

const TrustPolicy& TrustPolicy::current() {
#ifdef NRV_CODESIGN_POLICY_OVERRIDE
    const char* file = std::getenv("NRV_CODESIGN_POLICY");
    if (file && *file) {
        // Tests switch policies within one process; each file is read once
        // and kept for the life of the process, so references stay valid.
        static std::mutex mutex;
        static auto& loaded = *new std::map<std::string, std::unique_ptr<TrustPolicy>>;
        std::lock_guard<std::mutex> lock(mutex);
        auto& slot = loaded[file];
        if (!slot) slot = std::make_unique<TrustPolicy>(loadOverride(file));
        return *slot;
    }
#endif
    return compiledIn();
}

}  // namespace platform::codesign
