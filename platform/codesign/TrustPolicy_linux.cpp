#include "platform/codesign/TrustPolicy.h"

#include <cstdlib>
#include <map>
#include <memory>

#include "platform/fs/TrustedItem.h"
#include "platform/log/LogStore.h"
#include "platform/plist/PropertyList.h"
#include "platform/thread/Mutex.h"
#include "platform/memory/NoDestructor.h"

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
// A policy is a few short strings; more is not one.
constexpr std::uint64_t kMaxPolicyFileSize = 64 * 1024;

// The policy file replaces the built-in values only when it, and the anchors
// folder it names, belong to root or this user and nobody else can write
// them: otherwise another local user could make this process trust their
// code. Any doubt leaves the whole built-in policy in place, with one line.
TrustPolicy loadOverride(const std::string& file) {
    TrustPolicy p = makeCompiledIn();
    auto refuse = [&](const std::string& why) {
        platform::log::write("com.nerova.rivovovuvev", "signing", platform::log::Level::Error,
                             "NRV_CODESIGN_POLICY: " + why + "; using the built-in trust policy");
        return p;
    };
    platform::Error why;
    if (!fs::isTrustedItem(file, fs::TrustedItemKind::File, &why)) return refuse(why.description);
    bool refused = false;
    platform::Error error;
    auto bytes = fs::readFileWithoutLinks(
        file, [&](const fs::ItemAttributes& a) { return fs::isTrustedOwnerAndMode(a, fs::TrustedItemKind::File, &why); },
        &refused, nullptr, &error, kMaxPolicyFileSize);
    if (!bytes) return refuse(refused ? file + " " + why.description : "cannot read " + file);
    auto value = plist::readData(*bytes);
    const NRVDictionary* d = value ? value->asDictionary() : nullptr;
    if (!d) return refuse(file + " is not a property-list dictionary");
    TrustPolicy o = p;
    if (auto v = d->find("TeamIdentifier"); v && v->asString()) o.teamIdentifier = *v->asString();
    if (auto v = d->find("Organization"); v && v->asString()) o.organization = *v->asString();
    if (auto v = d->find("AnchorsFolder"); v && v->asString()) o.anchorsFolder = *v->asString();
    if (auto v = d->find("ServiceUser"); v && v->asInteger() && *v->asInteger() >= 0 && *v->asInteger() <= 0xFFFFFFFE)
        o.serviceUser = static_cast<std::uint32_t>(*v->asInteger());
    if (auto v = d->find("AllowedPathPrefixes"); v && v->asArray()) {
        o.allowedPathPrefixes.clear();
        for (const auto& item : *v->asArray()) {
            if (item.asString()) o.allowedPathPrefixes.push_back(*item.asString());
        }
    }
    if (o.anchorsFolder != p.anchorsFolder && !fs::isTrustedItem(o.anchorsFolder, fs::TrustedItemKind::Folder, &why))
        return refuse(why.description);
    return o;
}
#endif

}  // namespace

const TrustPolicy& TrustPolicy::compiledIn() {
    static const platform::NoDestructor<TrustPolicy> policy(makeCompiledIn());
    return *policy;
}

const TrustPolicy& TrustPolicy::current() {
#ifdef NRV_CODESIGN_POLICY_OVERRIDE
    const char* file = std::getenv("NRV_CODESIGN_POLICY");
    if (file && *file) {
        // Tests switch policies within one process; each file is read once
        // and kept for the life of the process, so references stay valid.
        static platform::Mutex mutex;
        static platform::NoDestructor<std::map<std::string, std::unique_ptr<TrustPolicy>>> loaded;
        platform::MutexLock lock(mutex);
        auto& slot = (*loaded)[file];
        if (!slot) slot = std::make_unique<TrustPolicy>(loadOverride(file));
        return *slot;
    }
#endif
    return compiledIn();
}

}  // namespace platform::codesign
