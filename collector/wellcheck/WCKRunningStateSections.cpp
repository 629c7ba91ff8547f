// The sections that judge the product's running state: its background
// processes, its last update, its last exchange with the management service,
// and the overall health.
#include <algorithm>
#include <utility>

#include "collector/wellcheck/WCKDateFormatters.h"
#include "collector/wellcheck/WCKSnapshotGenerator.h"
#include "collector/wellcheck/WCKState.h"

using namespace WCKSnapshotValues;

namespace {

std::string formatted(const std::optional<std::string>& dateText) {
    return DateFormatters::format(dateText).value_or("");
}

std::string sectionState(const NRVDictionary& section) {
    return text(&section, "state").value_or("blue");
}

}  // namespace

NRVDictionary WCKSnapshotGenerator::buildServicesSection(Plist hbt) {
    NRVDictionary processes;
    const NRVDictionary* states = dictionary(dictionary(hbt, "HeartbeatHealth"), "HeartbeatServiceStatesInEnglish");
    const bool allTexts = states && std::all_of(states->values().begin(), states->values().end(),
                                                [](const NRVValue& v) { return v.isString(); });
    if (allTexts) {
        std::vector<std::pair<std::string, std::string>> entries;
        for (std::size_t i = 0; i < states->size(); ++i)
            entries.emplace_back(states->keyAt(i), *states->valueAt(i).asString());
        std::sort(entries.begin(), entries.end());
        for (const auto& [name, stateText] : entries) {
            const char* state = stateText == "Running" ? "green" : stateText == "Not Running" ? "red" : "unknown";
            processes.set(name, leaf(state, stateText));
        }
    }
    NRVDictionary section;
    section.set("Background Processes", std::move(processes));
    setSummaryState(section);
    return section;
}

std::optional<bool> WCKSnapshotGenerator::lastUpdateSucceeded(Plist plw) {
    return plistBool(lookup(plw, "LastUpdateSucceeded"));
}

NRVDictionary WCKSnapshotGenerator::formatUpdateStatus(Plist plw) {
    NRVDictionary status;
    const auto succeeded = lastUpdateSucceeded(plw);
    if (const auto lastUpdate = text(plw, "LastUpdate")) {
        const std::string date = formatted(lastUpdate);
        if (!succeeded) status.set("Latest Update", leaf("blue", "Succeeded at " + date));
        else if (*succeeded) status.set("Latest Update", leaf("green", "Succeeded at " + date));
        else status.set("Latest Update", leaf("red", "Failed at " + date));
    } else {
        status.set("Latest Update", leaf("red", "No updates attempted"));
    }
    return status;
}

std::string WCKSnapshotGenerator::updateLocationString(const NRVDictionary* lastSource) {
    const auto type = text(lastSource, "Type");
    if (type && (*type == "Update Cache" || *type == "Nerova")) return *type;
    return "Could not determine the last update source.";
}

std::string WCKSnapshotGenerator::updateProxyString(Plist plw) {
    return nonEmptyText(plw, "LastProxyUsed").value_or("Using system settings");
}

NRVDictionary WCKSnapshotGenerator::buildUpdateSection(Plist plw) {
    const NRVDictionary* lastSource = dictionary(plw, "LastUpdateSource");
    NRVDictionary details;
    details.set("Update Location", blueLeaf(updateLocationString(lastSource)));
    details.set("Proxy", blueLeaf(updateProxyString(plw)));
    if (const auto host = text(lastSource, "Hostname")) details.set("Server", blueLeaf(*host));
    if (const auto ip = text(lastSource, "IP")) details.set("Server Address", blueLeaf(*ip));

    NRVDictionary section;
    section.set("Update Status", formatUpdateStatus(plw));
    section.set("Connection Details", std::move(details));
    setSummaryState(section);
    return section;
}

WCKSnapshotGenerator::LastCommunication WCKSnapshotGenerator::formatLastCommunication(Plist mcs) {
    const LastCommunication none{"No management communication has succeeded", "blue", std::nullopt};
    const NRVDictionary* communications = dictionary(mcs, "NRVMcsLastCommunications");
    if (!communications || text(mcs, "NRVMcsRegistrationStatus") != "policy received") return none;

    const auto lastSuccess = text(communications, "NRVMcsLastSuccessCommunicationTimestamp");
    const auto last = text(communications, "NRVMcsLastCommunicationTimestamp");
    const NRVValue* codeValue = lookup(mcs, "NRVMcsErrorCode");
    // A missing or non-integer code reads as 0, which the texts treat as "no code".
    const std::int64_t code = codeValue && codeValue->asInteger() ? *codeValue->asInteger() : 0;
    const std::string message = text(mcs, "NRVMcsErrorMessage").value_or("Unknown");

    if (!last) return none;
    if (last == lastSuccess && code == 0)
        return {"Succeeded at " + formatted(last), "green", std::nullopt};

    const std::string codeText = code != 0 ? std::to_string(code) : "Unknown";
    LastCommunication failed;
    failed.value = "Failed with error \"" + message + "\" (" + codeText + ") at " + formatted(last);
    failed.state = code == 503 ? "yellow" : "red";
    if (lastSuccess) failed.lastSuccessful = formatted(lastSuccess);
    return failed;
}

NRVDictionary WCKSnapshotGenerator::buildMCSConnectionDetails(Plist mcs) {
    NRVDictionary details;
    details.set("Server", blueLeaf(text(mcs, "NRVMcsServerUrl").value_or("Not available")));
    details.set("Server Address", blueLeaf(text(mcs, "NRVMcsServerAddress").value_or("Not available")));
    if (const auto relay = nonEmptyText(mcs, "NRVMcsLastMRUsed")) {
        details.set("Message Relay", blueLeaf(*relay));
        if (const auto user = nonEmptyText(mcs, "NRVMcsLastMRUsedUsername"))
            details.set("Proxy Username", blueLeaf(*user));
    } else {
        details.set("Proxy", blueLeaf(nonEmptyText(mcs, "NRVMcsLastProxyUsed").value_or("Proxy information not found.")));
        if (const auto user = nonEmptyText(mcs, "NRVMcsLastProxyUsedUsername"))
            details.set("Proxy Username", blueLeaf(*user));
    }
    return details;
}

NRVDictionary WCKSnapshotGenerator::buildManagementCommSection(Plist mcs) {
    const LastCommunication last = formatLastCommunication(mcs);
    NRVDictionary communication;
    communication.set("Last Communication", leaf(last.state, last.value));
    if (last.lastSuccessful) communication.set("Last Successful", blueLeaf(*last.lastSuccessful));

    NRVDictionary section;
    section.set("Management Communication", std::move(communication));
    section.set("Connection Details", buildMCSConnectionDetails(mcs));
    if (const auto tenant = nonEmptyText(mcs, "NRVMcsTenantID")) section.set("Customer ID", blueLeaf(*tenant));
    setSummaryState(section);
    return section;
}

NRVDictionary WCKSnapshotGenerator::buildHealthState(const NRVDictionary& services,
                                                     const NRVDictionary& managementComm,
                                                     const NRVDictionary& update, const NRVDictionary& prereqs,
                                                     const NRVDictionary* ztna) {
    std::vector<std::string> states = {sectionState(services), sectionState(managementComm), sectionState(update),
                                       sectionState(prereqs)};
    if (ztna) {
        if (const auto state = text(ztna, "state")) states.push_back(*state);
    }
    NRVDictionary health;
    health.set("state", WCKState::maxState(states));
    return health;
}
