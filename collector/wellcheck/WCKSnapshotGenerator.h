// Builds the status snapshot report "Nerova Wellcheck.log" from the product's
// preference lists and writes it as pretty-printed JSON. Functions only, no
// state of their own beside the host facts; called from the snapshot
// writer's operation, one run at a time.
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

namespace WCKSnapshotGenerator {

inline constexpr const char* wckLogFileName = "Nerova Wellcheck.log";

using FeatureSet = std::set<std::string>;
// A preference list: nullptr stands for an absent list.
using Plist = const NRVDictionary*;

// Report and writing.
bool writeSnapshot(const std::string& url);
std::optional<NRVDictionary> generateSnapshot();
std::vector<std::string> collectStateValues(const NRVDictionary& dict);

// Host facts: the platform's, unless a test set its own.
WCKHostFacts hostFacts();
void overrideHostFacts(std::optional<WCKHostFacts> facts);

// Preference sources and value readers.
std::optional<NRVDictionary> loadPlist(const std::string& name);
std::optional<NRVDictionary> loadPlwPlist();
FeatureSet effectiveFeatureSet(Plist plw);
FeatureSet lastUpdateEventFeaturesSet(Plist plw);
std::vector<std::string> stringArray(const NRVValue* value);
std::optional<bool> plistBool(const NRVValue* value);
std::optional<std::int64_t> intFromPlist(const NRVValue* value);

// Services, update, management communication and health.
struct LastCommunication {
    std::string value;
    std::string state;
    std::optional<std::string> lastSuccessful;
};
NRVDictionary buildServicesSection(Plist hbt);
NRVDictionary buildUpdateSection(Plist plw);
NRVDictionary formatUpdateStatus(Plist plw);
std::optional<bool> lastUpdateSucceeded(Plist plw);
std::string updateLocationString(const NRVDictionary* lastSource);
std::string updateProxyString(Plist plw);
NRVDictionary buildManagementCommSection(Plist mcs);
LastCommunication formatLastCommunication(Plist mcs);
NRVDictionary buildMCSConnectionDetails(Plist mcs);
NRVDictionary buildHealthState(const NRVDictionary& services, const NRVDictionary& managementComm,
                                      const NRVDictionary& update, const NRVDictionary& prereqs,
                                      const NRVDictionary* ztna);

// System, policy and captive portal.
NRVDictionary buildSystemSection(Plist mcs, Plist plw, Plist qrb, const FeatureSet& features);
NRVDictionary buildProductsSection(const FeatureSet& features);
std::string proxyConfigurationString(Plist plw);
std::optional<std::string> proxyUsername(Plist plw);
std::string createOSVersionName();
NRVDictionary buildPolicySection(Plist mcs, Plist qrb);
NRVDictionary buildCaptivePortalSection(Plist swc);

// Prerequisites.
NRVDictionary prerequisites(const FeatureSet& features, Plist hbt, Plist qrb, Plist swc, Plist mw);
std::optional<NRVDictionary> buildPermissionsSection(const NRVDictionary* health,
                                                            bool transparentProxyRequired,
                                                            bool contentFilterRequired);
NRVDictionary buildFullDiskAccessSection(const NRVDictionary* health, Plist qrb);
std::optional<NRVDictionary> buildSystemExtensionsSection(const NRVDictionary* health, Plist qrb,
                                                                 bool isScanExtRequired,
                                                                 bool isNetworkExtRequired);
std::optional<NRVDictionary> buildPacketTunnelSection(Plist qrb, bool isPacketTunnelRequired);
std::optional<NRVDictionary> buildWebConfigurationSection(const FeatureSet& features, Plist qrb,
                                                                 Plist swc, Plist mw);
bool shouldShowModernWebInWCK(const FeatureSet& features, Plist qrb, Plist swc);

// ZTNA.
bool isZTNAEnabledForSnapshot(const FeatureSet& features, Plist hbt);
NRVDictionary buildZTNASection(Plist ztnaPlist);
NRVDictionary buildZTNAEventsSubsection(Plist ztnaPlist);
std::vector<NRVDictionary> collectZTNAEventDictionaries(const NRVDictionary& plist);
std::optional<NRVDictionary> ztnaEventParameters(const NRVDictionary& event);
std::string ztnaEventDescription(std::int64_t type, const NRVDictionary* parameters);
std::optional<NRVDate> dateFromZTNAEventDict(const NRVDictionary& event);
}  // namespace WCKSnapshotGenerator

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
