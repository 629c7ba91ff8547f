// Where the snapshot report reads the product's preference lists, how the
// update component's system and user lists are merged, the installed
// features, and the readers that turn list values into what sections need.
#include <cmath>
#include <string>

#include "collector/wellcheck/WCKSnapshotGenerator.h"
#include "foundation/NerovaLogger.h"
#include "platform/plist/PropertyList.h"
#include "platform/system/SystemEnvironment.h"

using namespace WCKSnapshotValues;

namespace {

constexpr const char* kPlwName = "com.nerova.plw.plist";

// A list at a product path; only a dictionary at the root counts. The reader
// refuses deep nesting and garbage, as these files are user-writable.
std::optional<NRVDictionary> readDictionary(const std::string& productPath) {
    auto value = platform::plist::readFile(platform::resolveSystemPath(productPath));
    if (!value) return std::nullopt;
    if (NRVDictionary* dict = value->asDictionary()) return std::move(*dict);
    return std::nullopt;
}

std::string systemPreferencesPath(const std::string& name) { return "/Library/Preferences/" + name; }
std::string userPreferencesPath(const std::string& name) { return "~/Library/Preferences/" + name; }

const NRVDictionary* listOrNull(const std::optional<NRVDictionary>& d) { return d ? &*d : nullptr; }

}  // namespace

std::optional<NRVDictionary> WCKSnapshotGenerator::loadPlist(const std::string& name) {
    if (auto system = readDictionary(systemPreferencesPath(name))) return system;
    return readDictionary(userPreferencesPath(name));
}

std::optional<NRVDictionary> WCKSnapshotGenerator::loadPlwPlist() {
    const auto system = readDictionary(systemPreferencesPath(kPlwName));
    const auto user = readDictionary(userPreferencesPath(kPlwName));
    if (!system && !user) return std::nullopt;

    NRVDictionary base = system ? *system : *user;
    for (const char* key : {"InstalledFeatures", "InstallerProcessedFeatures"}) {
        if (!stringArray(lookup(listOrNull(system), key)).empty()) continue;
        const NRVValue* userValue = lookup(listOrNull(user), key);
        if (!stringArray(userValue).empty()) base.set(key, *userValue);
    }
    if (!base.contains("LastUpdateEventData")) {
        if (const NRVValue* userValue = lookup(listOrNull(user), "LastUpdateEventData"))
            base.set("LastUpdateEventData", *userValue);
    }
    return base;
}

WCKSnapshotGenerator::FeatureSet WCKSnapshotGenerator::effectiveFeatureSet(Plist plw) {
    const auto installed = stringArray(lookup(plw, "InstalledFeatures"));
    FeatureSet features(installed.begin(), installed.end());
    if (!features.empty()) {
        NRVDefaultLog().debug("WCK: using InstalledFeatures (" + std::to_string(features.size()) + " features)");
        return features;
    }
    const auto processed = stringArray(lookup(plw, "InstallerProcessedFeatures"));
    features = FeatureSet(processed.begin(), processed.end());
    if (!features.empty()) {
        NRVDefaultLog().info("WCK: InstalledFeatures empty, falling back to InstallerProcessedFeatures (" +
                             std::to_string(features.size()) + " features)");
        return features;
    }
    features = lastUpdateEventFeaturesSet(plw);
    NRVDefaultLog().info("WCK: falling back to LastUpdateEventData.features (" + std::to_string(features.size()) +
                         " features)");
    return features;
}

WCKSnapshotGenerator::FeatureSet WCKSnapshotGenerator::lastUpdateEventFeaturesSet(Plist plw) {
    const auto codes = stringArray(lookup(dictionary(plw, "LastUpdateEventData"), "features"));
    return FeatureSet(codes.begin(), codes.end());
}

std::vector<std::string> WCKSnapshotGenerator::stringArray(const NRVValue* value) {
    std::vector<std::string> texts;
    const NRVArray* array = value ? value->asArray() : nullptr;
    if (!array) return texts;
    for (const NRVValue& element : *array)
        if (const std::string* s = element.asString()) texts.push_back(*s);
    return texts;
}

std::optional<bool> WCKSnapshotGenerator::plistBool(const NRVValue* value) {
    if (!value) return std::nullopt;
    if (const bool* b = value->asBool()) return *b;
    if (const std::int64_t* i = value->asInteger()) return *i == 1;
    return std::nullopt;
}

std::optional<std::int64_t> WCKSnapshotGenerator::intFromPlist(const NRVValue* value) {
    if (!value) return std::nullopt;
    if (const std::int64_t* i = value->asInteger()) return *i;
    if (const bool* b = value->asBool()) return *b ? 1 : 0;
    if (const double* r = value->asReal()) {
        // A stored NaN, infinity or huge real has no integer value; converting
        // it anyway is undefined behaviour.
        constexpr double kTwoTo63 = 9223372036854775808.0;
        if (!std::isfinite(*r) || *r < -kTwoTo63 || *r >= kTwoTo63) return std::nullopt;
        return static_cast<std::int64_t>(*r);
    }
    return std::nullopt;
}
