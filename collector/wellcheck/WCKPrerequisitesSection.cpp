// What the product needs granted by the operating system: network-filter
// permissions, full disk access per component, system extensions, the packet
// tunnel and the trust of the web-inspection root certificate.
#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "collector/wellcheck/WCKSnapshotGenerator.h"
#include "collector/wellcheck/WCKState.h"

using namespace WCKSnapshotValues;

namespace {

struct FDAName {
    std::string_view internalName;
    std::string_view displayName;
};

// Component names and bundle identifiers the product uses as keys of its
// full-disk-access summary. Several keys name the same component.
constexpr std::array<FDAName, 21> fdaInternalToDisplayName = {{
    {"NerovaCleaner", "Nerova Cleaner"},
    {"NerovaScanAgent", "Nerova Scan Agent"},
    {"NerovaServiceManager", "Nerova Service Manager"},
    {"NerovaLiveResponse", "Nerova Live Response"},
    {"NerovaUserAgent", "Nerova User Agent"},
    {"NerovaUpdater", "Nerova Updater"},
    {"NerovaDiagnosticUtility", "Nerova Diagnostic Utility"},
    {"NerovaScanExtension", "Nerova Scan Extension"},
    {"NerovaNetworkExtension", "Nerova Network Extension"},
    {"NerovaHeartbeat", "Nerova Heartbeat"},
    {"NerovaLiveQuery", "Nerova LiveQuery"},
    {"NerovaDataRecorder", "Nerova Data Recorder"},
    {"NerovaMessageRouter", "Nerova Message Router"},
    {"NerovaManagementAgent", "Nerova Management Agent"},
    {"NerovaRootHelper", "Nerova Root Helper"},
    {"com.nerova.cleaner", "Nerova Cleaner"},
    {"com.nerova.scanagent", "Nerova Scan Agent"},
    {"com.nerova.servicemanager", "Nerova Service Manager"},
    {"com.nerova.liveresponse", "Nerova Live Response"},
    {"com.nerova.nerovadiagnosticutility", "Nerova Diagnostic Utility"},
    {"com.nerova.scanextension", "Nerova Scan Extension"},
}};

// Shown when the product wrote no summary of its own; also the keys of the
// heartbeat's full-disk-access states.
constexpr std::array<std::string_view, 8> fdaFallbackNames = {
    "Nerova Cleaner",     "Nerova Scan Agent", "Nerova Service Manager",    "Nerova Live Response",
    "Nerova User Agent",  "Nerova Updater",    "Nerova Diagnostic Utility", "Nerova Scan Extension",
};

std::string fdaDisplayName(const std::string& internalName) {
    for (const auto& row : fdaInternalToDisplayName)
        if (row.internalName == internalName) return std::string(row.displayName);
    return internalName;
}

bool isIntegerZero(const NRVValue* v) { return v && v->asInteger() && *v->asInteger() == 0; }

bool isTrueOrOne(const NRVValue* v) {
    return v && ((v->asBool() && *v->asBool()) || (v->asInteger() && *v->asInteger() == 1));
}

bool isBoolTrue(const NRVValue* v) { return v && v->asBool() && *v->asBool(); }

NRVDictionary grantLeaf(bool granted) { return leaf(granted ? "green" : "red", ""); }

}  // namespace

std::optional<NRVDictionary> WCKSnapshotGenerator::buildPermissionsSection(const NRVDictionary* health,
                                                                           bool transparentProxyRequired,
                                                                           bool contentFilterRequired) {
    if (!transparentProxyRequired && !contentFilterRequired) return std::nullopt;
    const NRVDictionary* perms = dictionary(health, "HeartbeatPermissions");
    NRVDictionary section;
    if (transparentProxyRequired)
        section.set("Transparent Proxy", grantLeaf(isIntegerZero(lookup(perms, "Transparent Proxy"))));
    if (contentFilterRequired)
        section.set("Content Filter", grantLeaf(isIntegerZero(lookup(perms, "Content Filter"))));
    return section;
}

NRVDictionary WCKSnapshotGenerator::buildFullDiskAccessSection(const NRVDictionary* health, Plist qrb) {
    NRVDictionary section;
    if (const NRVDictionary* ready = dictionary(qrb, "PrerequisiteFullDiskAccessReady")) {
        // Several keys can name one component. Taken in a fixed order and
        // keeping the worse state, a granted alias never hides a missing grant.
        std::vector<std::size_t> order(ready->size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return ready->keyAt(a) < ready->keyAt(b); });
        for (std::size_t i : order) {
            const std::string name = fdaDisplayName(ready->keyAt(i));
            NRVDictionary candidate = grantLeaf(isTrueOrOne(&ready->valueAt(i)));
            const NRVDictionary* existing = dictionary(&section, name);
            if (existing && WCKState::rank(*text(existing, "state")) >= WCKState::rank(*text(&candidate, "state")))
                continue;
            section.set(name, std::move(candidate));
        }
        return section;
    }
    const NRVDictionary* fda = dictionary(health, "HeartbeatFDAServices");
    for (std::string_view name : fdaFallbackNames)
        section.set(std::string(name), grantLeaf(isIntegerZero(lookup(fda, name))));
    return section;
}

std::optional<NRVDictionary> WCKSnapshotGenerator::buildSystemExtensionsSection(const NRVDictionary* health, Plist qrb,
                                                                                bool isScanExtRequired,
                                                                                bool isNetworkExtRequired) {
    if (!isScanExtRequired && !isNetworkExtRequired) return std::nullopt;
    const NRVDictionary* extensions = dictionary(health, "HeartbeatExtensions");
    // The product's own readiness flag wins; the heartbeat is the fallback.
    auto extensionLeaf = [&](const char* readyKey, const char* name) {
        if (const auto ready = plistBool(lookup(qrb, readyKey))) return grantLeaf(*ready);
        return grantLeaf(isIntegerZero(lookup(extensions, name)));
    };
    NRVDictionary section;
    if (isScanExtRequired)
        section.set("Nerova Scan Extension", extensionLeaf("PrerequisiteScanExtensionReady", "Nerova Scan Extension"));
    if (isNetworkExtRequired)
        section.set("Nerova Network Extension",
                    extensionLeaf("PrerequisiteNetworkExtensionReady", "Nerova Network Extension"));
    return section;
}

std::optional<NRVDictionary> WCKSnapshotGenerator::buildPacketTunnelSection(Plist qrb, bool isPacketTunnelRequired) {
    if (!isPacketTunnelRequired) return std::nullopt;
    return grantLeaf(plistBool(lookup(qrb, "PrerequisitePacketTunnelReady")) == true);
}

bool WCKSnapshotGenerator::shouldShowModernWebInWCK(const FeatureSet& features, Plist qrb, Plist swc) {
    return features.count("AV") && isBoolTrue(lookup(qrb, "ModernWebEnabled")) &&
           isBoolTrue(lookup(qrb, "ModernWebHTTPSDecryptEnabled")) &&
           (isBoolTrue(lookup(qrb, "WebProtectionScanningEnabled")) ||
            isBoolTrue(lookup(qrb, "WebProtectionFilteringEnabled")) || isBoolTrue(lookup(swc, "WebControlEnabled")));
}

std::optional<NRVDictionary> WCKSnapshotGenerator::buildWebConfigurationSection(const FeatureSet& features, Plist qrb,
                                                                                Plist swc, Plist mw) {
    if (!shouldShowModernWebInWCK(features, qrb, swc)) return std::nullopt;
    NRVDictionary section;
    if (lookup(mw, "ModernWebSystemRootCA"))
        section.set("Certificate Status", grantLeaf(isBoolTrue(lookup(mw, "ModernWebSystemRootCATrusted"))));
    else
        section.set("Certificate Status", leaf("red", "Certificate not installed"));
    return section;
}

NRVDictionary WCKSnapshotGenerator::prerequisites(const FeatureSet& features, Plist hbt, Plist qrb, Plist swc, Plist mw) {
    const NRVDictionary* health = dictionary(hbt, "HeartbeatHealth");
    const bool packetTunnelRequired = plistBool(lookup(qrb, "PacketTunnelRequired")) == true;
    const bool scanRequired = features.count("AV") || features.count("XPD") || features.count("LIVEQUERY");
    const bool networkRequired =
        scanRequired || features.count("ZTNA") || plistBool(lookup(hbt, "HeartbeatZTNAEnabled")) == true;
    const bool transparentProxyRequired = plistBool(lookup(qrb, "TransparentProxyRequired")) == true;
    const bool contentFilterRequired = plistBool(lookup(qrb, "ContentFilterRequired")) == true;

    NRVDictionary section;
    if (auto permissions = buildPermissionsSection(health, transparentProxyRequired, contentFilterRequired))
        section.set("Permissions", std::move(*permissions));
    section.set("Full Disk Access", buildFullDiskAccessSection(health, qrb));
    if (auto extensions = buildSystemExtensionsSection(health, qrb, scanRequired, networkRequired))
        section.set("System Extensions", std::move(*extensions));
    if (auto tunnel = buildPacketTunnelSection(qrb, packetTunnelRequired))
        section.set("Packet Tunnel", std::move(*tunnel));
    if (auto web = buildWebConfigurationSection(features, qrb, swc, mw))
        section.set("Web Configuration", std::move(*web));
    setSummaryState(section);
    return section;
}
