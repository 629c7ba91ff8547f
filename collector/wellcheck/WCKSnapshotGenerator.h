// Builds the status snapshot report "Nerova Wellcheck.log" from the product's
// preference lists and writes it as pretty-printed JSON.
//
// The report tree is an NRVDictionary whose values are only texts and
// dictionaries: a leaf is {"state": word, "value": text}; a section holds
// leaves, nested sections and, for most sections, a summary "state".
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/value/NRVValue.h"

// What the report shows about the host that Linux answers differently from
// the product's home platform. Tests replace it through
// WCKSnapshotGenerator::overrideHostFacts.
struct WCKHostFacts {
    std::optional<std::string> localizedHostName;
    std::optional<std::string> operatingSystemVersion;  // "14.5.1", or a free text
};

class WCKSnapshotGenerator {
public:
    WCKSnapshotGenerator() = delete;

    static constexpr const char* wckLogFileName = "Nerova Wellcheck.log";

    using FeatureSet = std::set<std::string>;
    // A preference list: nullptr stands for an absent list.
    using Plist = const NRVDictionary*;

    // Report and writing.
    static bool writeSnapshot(const std::string& url);
    static std::optional<NRVDictionary> generateSnapshot();
    static std::vector<std::string> collectStateValues(const NRVDictionary& dict);

    // Host facts: the platform's, unless a test set its own.
    static WCKHostFacts hostFacts();
    static void overrideHostFacts(std::optional<WCKHostFacts> facts);

    // Preference sources and value readers.
    static std::optional<NRVDictionary> loadPlist(const std::string& name);
    static std::optional<NRVDictionary> loadPlwPlist();
    static FeatureSet effectiveFeatureSet(Plist plw);
    static FeatureSet lastUpdateEventFeaturesSet(Plist plw);
    static std::vector<std::string> stringArray(const NRVValue* value);
    static std::optional<bool> plistBool(const NRVValue* value);
    static std::optional<std::int64_t> intFromPlist(const NRVValue* value);

    // Services, update, management communication and health.
    struct LastCommunication {
        std::string value;
        std::string state;
        std::optional<std::string> lastSuccessful;
    };
    static NRVDictionary buildServicesSection(Plist hbt);
    static NRVDictionary buildUpdateSection(Plist plw);
    static NRVDictionary formatUpdateStatus(Plist plw);
    static std::optional<bool> lastUpdateSucceeded(Plist plw);
    static std::string updateLocationString(const NRVDictionary* lastSource);
    static std::string updateProxyString(Plist plw);
    static NRVDictionary buildManagementCommSection(Plist mcs);
    static LastCommunication formatLastCommunication(Plist mcs);
    static NRVDictionary buildMCSConnectionDetails(Plist mcs);
    static NRVDictionary buildHealthState(const NRVDictionary& services, const NRVDictionary& managementComm,
                                          const NRVDictionary& update, const NRVDictionary& prereqs,
                                          const NRVDictionary* ztna);

    // System, policy and captive portal.
    static NRVDictionary buildSystemSection(Plist mcs, Plist plw, Plist qrb, const FeatureSet& features);
    static NRVDictionary buildProductsSection(const FeatureSet& features);
    static std::string proxyConfigurationString(Plist plw);
    static std::optional<std::string> proxyUsername(Plist plw);
    static std::string createOSVersionName();
    static NRVDictionary buildPolicySection(Plist mcs, Plist qrb);
    static NRVDictionary buildCaptivePortalSection(Plist swc);

    // Prerequisites.
    static NRVDictionary prerequisites(const FeatureSet& features, Plist hbt, Plist qrb, Plist swc, Plist mw);
    static std::optional<NRVDictionary> buildPermissionsSection(const NRVDictionary* health,
                                                                bool transparentProxyRequired,
                                                                bool contentFilterRequired);
    static NRVDictionary buildFullDiskAccessSection(const NRVDictionary* health, Plist qrb);
    static std::optional<NRVDictionary> buildSystemExtensionsSection(const NRVDictionary* health, Plist qrb,
                                                                     bool isScanExtRequired,
                                                                     bool isNetworkExtRequired);
    static std::optional<NRVDictionary> buildPacketTunnelSection(Plist qrb, bool isPacketTunnelRequired);
    static std::optional<NRVDictionary> buildWebConfigurationSection(const FeatureSet& features, Plist qrb,
                                                                     Plist swc, Plist mw);
    static bool shouldShowModernWebInWCK(const FeatureSet& features, Plist qrb, Plist swc);

    // ZTNA.
    static bool isZTNAEnabledForSnapshot(const FeatureSet& features, Plist hbt);
    static NRVDictionary buildZTNASection(Plist ztnaPlist);
    static NRVDictionary buildZTNAEventsSubsection(Plist ztnaPlist);
    static std::vector<NRVDictionary> collectZTNAEventDictionaries(const NRVDictionary& plist);
    static std::optional<NRVDictionary> ztnaEventParameters(const NRVDictionary& event);
    static std::string ztnaEventDescription(std::int64_t type, const NRVDictionary* parameters);
    static std::optional<NRVDate> dateFromZTNAEventDict(const NRVDictionary& event);
};

// Small helpers the section builders share.
namespace WCKSnapshotValues {

// The value under key, nullptr when the list is absent or lacks the key.
const NRVValue* lookup(const NRVDictionary* dict, std::string_view key);
// The value under key when it is a dictionary / a text / a non-empty text.
const NRVDictionary* dictionary(const NRVDictionary* dict, std::string_view key);
std::optional<std::string> text(const NRVDictionary* dict, std::string_view key);
std::optional<std::string> nonEmptyText(const NRVDictionary* dict, std::string_view key);

NRVDictionary leaf(const std::string& state, const std::string& value);
inline NRVDictionary blueLeaf(const std::string& value) { return leaf("blue", value); }

// "state" = maxState of every state below the section.
void setSummaryState(NRVDictionary& section);

}  // namespace WCKSnapshotValues
