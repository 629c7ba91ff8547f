#include "collector/wellcheck/WCKSnapshotGenerator.h"


#include <nlohmann/json.hpp>

#include "collector/wellcheck/WCKState.h"
#include "foundation/NerovaLogger.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"
#include "platform/thread/Mutex.h"

namespace WCKSnapshotValues {

const NRVValue* lookup(const NRVDictionary* dict, std::string_view key) { return dict ? dict->find(key) : nullptr; }

const NRVDictionary* dictionary(const NRVDictionary* dict, std::string_view key) {
    const NRVValue* v = lookup(dict, key);
    return v ? v->asDictionary() : nullptr;
}

std::optional<std::string> text(const NRVDictionary* dict, std::string_view key) {
    const NRVValue* v = lookup(dict, key);
    if (const std::string* s = v ? v->asString() : nullptr) return *s;
    return std::nullopt;
}

std::optional<std::string> nonEmptyText(const NRVDictionary* dict, std::string_view key) {
    auto s = text(dict, key);
    if (s && s->empty()) return std::nullopt;
    return s;
}

NRVDictionary leaf(const std::string& state, const std::string& value) {
    NRVDictionary d;
    d.set("state", state);
    d.set("value", value);
    return d;
}

void setSummaryState(NRVDictionary& section) {
    section.set("state", WCKState::maxState(WCKSnapshotGenerator::collectStateValues(section)));
}

}  // namespace WCKSnapshotValues

using namespace WCKSnapshotValues;

namespace {

platform::Mutex hostFactsMutex;
std::optional<WCKHostFacts> hostFactsOverride GUARDED_BY(hostFactsMutex);

// The report allows only texts and objects; anything else means a builder
// went wrong, and the report is refused rather than written half-valid.
bool toJSON(const NRVDictionary& dict, nlohmann::ordered_json& out) {
    out = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < dict.size(); ++i) {
        const NRVValue& v = dict.valueAt(i);
        if (const std::string* s = v.asString()) {
            out[dict.keyAt(i)] = *s;
        } else if (const NRVDictionary* d = v.asDictionary()) {
            nlohmann::ordered_json child;
            if (!toJSON(*d, child)) return false;
            out[dict.keyAt(i)] = std::move(child);
        } else {
            return false;
        }
    }
    return true;
}

const NRVDictionary* listOrNull(const std::optional<NRVDictionary>& d) { return d ? &*d : nullptr; }

}  // namespace

WCKHostFacts WCKSnapshotGenerator::hostFacts() {
    {
        platform::MutexLock lock(hostFactsMutex);
        if (hostFactsOverride) return *hostFactsOverride;
    }
    return WCKHostFacts{platform::localizedHostName(), platform::operatingSystemVersionString()};
}

void WCKSnapshotGenerator::overrideHostFacts(std::optional<WCKHostFacts> facts) {
    platform::MutexLock lock(hostFactsMutex);
    hostFactsOverride = std::move(facts);
}

std::vector<std::string> WCKSnapshotGenerator::collectStateValues(const NRVDictionary& dict) {
    std::vector<std::string> states;
    for (const NRVValue& value : dict.values()) {
        const NRVDictionary* child = value.asDictionary();
        if (!child) continue;
        if (auto state = text(child, "state")) states.push_back(*state);
        auto nested = collectStateValues(*child);
        states.insert(states.end(), nested.begin(), nested.end());
    }
    return states;
}

std::optional<NRVDictionary> WCKSnapshotGenerator::generateSnapshot() {
    const auto mcs = loadPlist("com.nerova.mcs.plist");
    const auto plw = loadPlwPlist();
    const auto qrb = loadPlist("com.nerova.qrb.plist");
    const auto hbt = loadPlist("com.nerova.hbt.plist");
    const auto swc = loadPlist("com.nerova.swc.plist");
    const auto mw = loadPlist("com.nerova.mw.plist");

    const FeatureSet features = effectiveFeatureSet(listOrNull(plw));

    NRVDictionary system = buildSystemSection(listOrNull(mcs), listOrNull(plw), listOrNull(qrb), features);
    NRVDictionary update = buildUpdateSection(listOrNull(plw));
    NRVDictionary policy = buildPolicySection(listOrNull(mcs), listOrNull(qrb));
    NRVDictionary managementComm = buildManagementCommSection(listOrNull(mcs));
    NRVDictionary services = buildServicesSection(listOrNull(hbt));
    NRVDictionary prereqs = prerequisites(features, listOrNull(hbt), listOrNull(qrb), listOrNull(swc), listOrNull(mw));
    NRVDictionary captivePortal = buildCaptivePortalSection(listOrNull(swc));

    std::optional<NRVDictionary> ztna;
    if (isZTNAEnabledForSnapshot(features, listOrNull(hbt))) {
        const auto ztnaPlist = loadPlist("com.nerova.nsg.ztna.plist");
        ztna = buildZTNASection(listOrNull(ztnaPlist));
    }

    NRVDictionary health = buildHealthState(services, managementComm, update, prereqs, listOrNull(ztna));

    NRVDictionary report;
    report.set("Services", std::move(services));
    report.set("Update", std::move(update));
    report.set("Management Communication", std::move(managementComm));
    report.set("Health State", std::move(health));
    report.set("System", std::move(system));
    report.set("Policy", std::move(policy));
    report.set("Captive Portal Mode", std::move(captivePortal));
    report.set("Prerequisites", std::move(prereqs));
    if (ztna) report.set("ZTNA", std::move(*ztna));
    return report;
}

bool WCKSnapshotGenerator::writeSnapshot(const std::string& url) {
    const auto tree = generateSnapshot();
    if (!tree) return false;
    nlohmann::ordered_json json;
    if (!toJSON(*tree, json)) return false;

    // Texts come from user-writable lists and may hold invalid UTF-8; replace
    // such bytes instead of failing the whole report.
    const std::string data = json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);

    platform::Error error;
    const std::string folder = platform::fs::deletingLastPathComponent(url);
    // Written through a temporary file and a rename, so an interrupted run
    // never leaves half a report behind.
    if (!platform::fs::createDirectory(folder, true, &error) ||
        !platform::fs::writeFileAtomically(url, data, &error)) {
        NRVDefaultLog().error("WCK snapshot write failed: " + error.description);
        return false;
    }
    return true;
}
