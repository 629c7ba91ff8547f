// The sections that state facts rather than judge: the product and this
// computer, the policies received, and the captive-portal explanation.
#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>
#include <utility>

#include "collector/wellcheck/WCKDateFormatters.h"
#include "collector/wellcheck/WCKSnapshotGenerator.h"

using namespace WCKSnapshotValues;

namespace {

struct PolicyName {
    std::string_view code;
    std::string_view displayName;
};

// Policy-type codes as the management service writes them into the receipts.
constexpr std::array<PolicyName, 31> policyTypeDisplayNames = {{
    {"nav1", "Anti-Virus"},
    {"nav2", "Anti-Virus Scheduled Scans"},
    {"nav3", "Anti-Virus Exclusions"},
    {"web1", "Web Protection"},
    {"web2", "Web Control"},
    {"web3", "Web Filtering"},
    {"mweb1", "Modern Web Protection"},
    {"dc1", "Device Control"},
    {"ac1", "Application Control"},
    {"fw1", "Firewall"},
    {"upd1", "Updating"},
    {"upd2", "Update Cache"},
    {"mr1", "Message Relay"},
    {"tp1", "Tamper Protection"},
    {"xpd1", "Extended Protection"},
    {"xpd2", "Extended Protection Data Recorder"},
    {"lq1", "LiveQuery"},
    {"lq2", "LiveQuery Scheduled Queries"},
    {"lr1", "Live Response"},
    {"de1", "Disk Encryption"},
    {"de2", "Disk Encryption Recovery"},
    {"mdr1", "Managed Detection and Response"},
    {"ztna1", "ZTNA"},
    {"ztna2", "ZTNA Gateways"},
    {"cpm1", "Captive Portal Mode"},
    {"ntp1", "Threat Protection"},
    {"rca1", "Root Cause Analysis"},
    {"sed1", "Self Defence"},
    {"cbr1", "Cloud Backup and Restore"},
    {"wbj1", "Browser Extension"},
    {"corc1", "Core Configuration"},
}};

struct ProductRow {
    std::string_view displayName;
    std::string_view featureCode;
};

constexpr std::array<ProductRow, 4> alwaysShownProducts = {{
    {"Nerova Extended Protection", "XPD"},
    {"Nerova Encryption", "DISKENCRYPTION"},
    {"Nerova LiveQuery", "LIVEQUERY"},
    {"Nerova Anti-Virus", "AV"},
}};
constexpr std::array<ProductRow, 2> shownWhenInstalled = {{
    {"Nerova Managed Detection and Response", "MDR"},
    {"Nerova ZTNA", "ZTNA"},
}};

struct OSName {
    int major;
    std::string_view name;
};
constexpr std::array<OSName, 5> osNames = {{
    {13, "macOS Ventura"}, {14, "macOS Sonoma"}, {15, "macOS Sequoia"}, {26, "macOS Tahoe"}, {27, "macOS Golden Gate"},
}};

// "14.5.1" -> (14, 5); "16" -> (16, 0); nullopt for any text that is no plain version.
std::optional<std::pair<int, int>> majorMinor(const std::string& version) {
    int parts[3] = {0, 0, 0};
    std::size_t count = 0;
    const char* p = version.data();
    const char* end = p + version.size();
    while (p < end && count < 3) {
        auto [next, ec] = std::from_chars(p, end, parts[count]);
        if (ec != std::errc() || next == p) return std::nullopt;
        ++count;
        p = next;
        if (p == end) break;
        if (*p != '.') return std::nullopt;
        ++p;
        if (p == end) return std::nullopt;
    }
    if (count == 0 || p != end) return std::nullopt;
    return std::pair{parts[0], parts[1]};
}

std::string policyDisplayName(const std::string& code) {
    for (const auto& row : policyTypeDisplayNames)
        if (row.code == code) return std::string(row.displayName);
    const auto digit = std::find_if(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; });
    return std::string(code.begin(), digit);
}

// The receipts as (code, date text) in ascending code order; nullopt unless
// every value is a text.
std::optional<std::vector<std::pair<std::string, std::string>>> policyReceipts(const NRVDictionary* receipts) {
    if (!receipts) return std::nullopt;
    std::vector<std::pair<std::string, std::string>> entries;
    for (std::size_t i = 0; i < receipts->size(); ++i) {
        const std::string* date = receipts->valueAt(i).asString();
        if (!date) return std::nullopt;
        entries.emplace_back(receipts->keyAt(i), *date);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

}  // namespace

std::string WCKSnapshotGenerator::proxyConfigurationString(Plist plw) {
    const NRVDictionary* proxy = dictionary(plw, "ProxyConfiguration");
    const auto url = text(proxy, "ProxyURL");
    const NRVValue* port = lookup(proxy, "ProxyPort");
    if (url && port && port->asInteger()) return *url + ":" + std::to_string(*port->asInteger());
    return "No proxy configured in policy";
}

std::optional<std::string> WCKSnapshotGenerator::proxyUsername(Plist plw) {
    return nonEmptyText(dictionary(plw, "ProxyConfiguration"), "ProxyUserName");
}

std::string WCKSnapshotGenerator::createOSVersionName() {
    const auto version = hostFacts().operatingSystemVersion;
    if (!version || version->empty()) return "Unknown";
    const auto parsed = majorMinor(*version);
    // Hosts that tell no plain version number (Linux names its distribution)
    // are shown as the platform describes itself.
    if (!parsed) return *version;
    std::string name = "macOS";
    for (const auto& row : osNames)
        if (row.major == parsed->first) name = row.name;
    return name + " (" + std::to_string(parsed->first) + "." + std::to_string(parsed->second) + ")";
}

NRVDictionary WCKSnapshotGenerator::buildProductsSection(const FeatureSet& features) {
    NRVDictionary products;
    for (const auto& row : alwaysShownProducts)
        products.set(std::string(row.displayName),
                     blueLeaf(features.count(std::string(row.featureCode)) ? "Installed" : "Not Installed"));
    for (const auto& row : shownWhenInstalled)
        if (features.count(std::string(row.featureCode))) products.set(std::string(row.displayName), blueLeaf("Installed"));
    return products;
}

NRVDictionary WCKSnapshotGenerator::buildSystemSection(Plist mcs, Plist plw, Plist qrb, const FeatureSet& features) {
    std::string computerName = nonEmptyText(mcs, "NRVMcsHostName").value_or("");
    if (computerName.empty()) computerName = hostFacts().localizedHostName.value_or("");
    if (computerName.empty()) computerName = "Unknown";

    NRVDictionary computer;
    computer.set("Username", blueLeaf(text(mcs, "NRVMcsLastLoggedInUserWithDomain").value_or("Unknown")));
    computer.set("Computer Name", blueLeaf(computerName));
    computer.set("Proxy Configuration", blueLeaf(proxyConfigurationString(plw)));
    computer.set("Operating System Version", blueLeaf(createOSVersionName()));
    computer.set("Endpoint ID", blueLeaf(nonEmptyText(mcs, "NRVMcsEndpointUUID").value_or("Endpoint Not Registered")));
    if (const auto user = proxyUsername(plw)) computer.set("Proxy Username", blueLeaf(*user));

    NRVDictionary section;
    section.set("Version", blueLeaf(text(qrb, "MarketingVersion").value_or("(unavailable)")));
    section.set("This Computer", std::move(computer));
    section.set("Products", buildProductsSection(features));
    setSummaryState(section);
    return section;
}

NRVDictionary WCKSnapshotGenerator::buildPolicySection(Plist mcs, Plist qrb) {
    NRVDictionary updates;
    const NRVValue* v3 = lookup(qrb, "MCSv3Enabled");
    if (v3 && v3->asBool() && *v3->asBool()) {
        if (const auto received = text(mcs, "NRVMcsPolicyLastReceived"))
            updates.set("MCS V3 Policy", blueLeaf(DateFormatters::format(received).value_or("")));
    } else if (text(mcs, "NRVMcsRegistrationStatus") == "policy received") {
        if (const auto receipts = policyReceipts(dictionary(mcs, "NRVMcsPolicyReceipts"))) {
            for (const auto& [code, date] : *receipts)
                updates.set(policyDisplayName(code), blueLeaf(DateFormatters::format(date).value_or("")));
        }
    }
    if (updates.empty()) updates.set("Most Recent Policy Update", blueLeaf("Policy has not been received"));

    NRVDictionary section;
    section.set("Most Recent Policy Update", std::move(updates));
    setSummaryState(section);
    return section;
}

NRVDictionary WCKSnapshotGenerator::buildCaptivePortalSection(Plist swc) {
    std::int64_t minutes = 5;
    const NRVValue* seconds = lookup(swc, "CaptivePortalModeTimerLengthInSeconds");
    if (seconds && seconds->asInteger()) minutes = std::max<std::int64_t>(*seconds->asInteger() / 60, 1);

    NRVDictionary texts;
    texts.set("Captive Portal Mode allows joining public Wi-Fi networks that display login pages, like those you "
              "find in restaurants, cafes, airport lounges, on-board certain aircraft, and hotels.",
              leaf("blank", ""));
    texts.set("Your endpoint will automatically deactivate Captive Portal Mode after " + std::to_string(minutes) +
                  " minutes, and must be manually re-activated if you require more time to connect to the Wi-Fi "
                  "network.",
              leaf("blank", ""));
    texts.set("When this mode is active your endpoint will temporarily disable real time protection for web "
              "browsers. To minimize risk to your endpoint you should deactivate Captive Portal Mode as soon as you "
              "successfully connect to the public Wi-Fi network.",
              leaf("blank", ""));

    NRVDictionary section;
    section.set("state", "blank");
    section.set("Captive Portal Mode", std::move(texts));
    return section;
}
