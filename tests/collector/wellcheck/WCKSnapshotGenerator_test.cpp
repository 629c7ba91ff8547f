// The whole report from fixture trees of preference lists.
#include "collector/wellcheck/WCKSnapshotGenerator.h"

#include <gtest/gtest.h>

#include "WCKTestTree.h"
#include "collector/StatusLogger.h"
#include "collector/wellcheck/WCKSnapshotWriter.h"
#include "platform/fs/FileManager.h"
#include "platform/log/LogStore.h"

namespace {

using platform::plist::Format;
using wcktest::A;
using wcktest::D;
using wcktest::J;

constexpr double kMarch1At081530 = 1709280930;  // 2024-03-01T08:15:30Z

TEST(WCKSnapshotGenerator, WithoutAnyListEverySectionShowsItsDefaults) {
    wcktest::Tree tree;
    const auto expected = J(R"J({
      "Services": {"Background Processes": {}, "state": "blue"},
      "Update": {
        "Update Status": {"Latest Update": {"state": "red", "value": "No updates attempted"}},
        "Connection Details": {
          "Update Location": {"state": "blue", "value": "Could not determine the last update source."},
          "Proxy": {"state": "blue", "value": "Using system settings"}},
        "state": "red"},
      "Management Communication": {
        "Management Communication": {
          "Last Communication": {"state": "blue", "value": "No management communication has succeeded"}},
        "Connection Details": {
          "Server": {"state": "blue", "value": "Not available"},
          "Server Address": {"state": "blue", "value": "Not available"},
          "Proxy": {"state": "blue", "value": "Proxy information not found."}},
        "state": "blue"},
      "Health State": {"state": "red"},
      "System": {
        "Version": {"state": "blue", "value": "(unavailable)"},
        "This Computer": {
          "Username": {"state": "blue", "value": "Unknown"},
          "Computer Name": {"state": "blue", "value": "Test Mac"},
          "Proxy Configuration": {"state": "blue", "value": "No proxy configured in policy"},
          "Operating System Version": {"state": "blue", "value": "macOS Sonoma (14.5)"},
          "Endpoint ID": {"state": "blue", "value": "Endpoint Not Registered"}},
        "Products": {
          "Nerova Extended Protection": {"state": "blue", "value": "Not Installed"},
          "Nerova Encryption": {"state": "blue", "value": "Not Installed"},
          "Nerova LiveQuery": {"state": "blue", "value": "Not Installed"},
          "Nerova Anti-Virus": {"state": "blue", "value": "Not Installed"}},
        "state": "blue"},
      "Policy": {
        "Most Recent Policy Update": {
          "Most Recent Policy Update": {"state": "blue", "value": "Policy has not been received"}},
        "state": "blue"},
      "Captive Portal Mode": {
        "state": "blank",
        "Captive Portal Mode": {
          "Captive Portal Mode allows joining public Wi-Fi networks that display login pages, like those you find in restaurants, cafes, airport lounges, on-board certain aircraft, and hotels.": {"state": "blank", "value": ""},
          "Your endpoint will automatically deactivate Captive Portal Mode after 5 minutes, and must be manually re-activated if you require more time to connect to the Wi-Fi network.": {"state": "blank", "value": ""},
          "When this mode is active your endpoint will temporarily disable real time protection for web browsers. To minimize risk to your endpoint you should deactivate Captive Portal Mode as soon as you successfully connect to the public Wi-Fi network.": {"state": "blank", "value": ""}}},
      "Prerequisites": {
        "Full Disk Access": {
          "Nerova Cleaner": {"state": "red", "value": ""},
          "Nerova Scan Agent": {"state": "red", "value": ""},
          "Nerova Service Manager": {"state": "red", "value": ""},
          "Nerova Live Response": {"state": "red", "value": ""},
          "Nerova User Agent": {"state": "red", "value": ""},
          "Nerova Updater": {"state": "red", "value": ""},
          "Nerova Diagnostic Utility": {"state": "red", "value": ""},
          "Nerova Scan Extension": {"state": "red", "value": ""}},
        "state": "red"}
    })J");
    EXPECT_EQ(tree.report(), expected);
}

TEST(WCKSnapshotGenerator, FullTreeOfXMLAndBinaryListsDrivesEverySection) {
    wcktest::Tree tree;
    tree.systemList("com.nerova.mcs.plist",
                    D({{"NRVMcsHostName", "mac-01"},
                       {"NRVMcsLastLoggedInUserWithDomain", "CORP\\alice"},
                       {"NRVMcsEndpointUUID", "E-1"},
                       {"NRVMcsRegistrationStatus", "policy received"},
                       {"NRVMcsPolicyReceipts", D({{"nav1", "2024-03-01T08:15:30.123456+00:00"},
                                                   {"abc12", "d1"},
                                                   {"abc7", "d2"}})},
                       {"NRVMcsLastCommunications",
                        D({{"NRVMcsLastSuccessCommunicationTimestamp", "2024-03-01T08:00:00.000000+00:00"},
                           {"NRVMcsLastCommunicationTimestamp", "2024-03-01T09:00:00.000000+00:00"}})},
                       {"NRVMcsErrorCode", 503},
                       {"NRVMcsErrorMessage", "Service Unavailable"},
                       {"NRVMcsServerUrl", "https://mcs.example"},
                       {"NRVMcsServerAddress", "10.0.0.5"},
                       {"NRVMcsLastMRUsed", ""},
                       {"NRVMcsLastProxyUsed", "proxy:3128"},
                       {"NRVMcsLastProxyUsedUsername", "bob"},
                       {"NRVMcsTenantID", "T-9"}}),
                    Format::Binary);
    tree.systemList("com.nerova.plw.plist",
                    D({{"InstalledFeatures", A({"AV", "XPD", 3, "AV"})},
                       {"ProxyConfiguration", D({{"ProxyURL", "10.1.2.3"}, {"ProxyPort", 8080}, {"ProxyUserName", "pu"}})},
                       {"LastUpdate", "2024-03-01T08:15:30Z"},
                       {"LastUpdateSucceeded", 1},
                       {"LastUpdateSource", D({{"Type", "Update Cache"}, {"Hostname", ""}, {"IP", "10.0.0.9"}})},
                       {"LastProxyUsed", ""}}));
    tree.systemList("com.nerova.qrb.plist",
                    D({{"MarketingVersion", "11.2.0"},
                       {"TransparentProxyRequired", true},
                       {"ContentFilterRequired", true},
                       {"PacketTunnelRequired", true},
                       {"PrerequisitePacketTunnelReady", false},
                       {"PrerequisiteScanExtensionReady", false},
                       // Two keys of one component, the missing grant first.
                       {"PrerequisiteFullDiskAccessReady",
                        D({{"com.nerova.cleaner", false}, {"NerovaCleaner", true}, {"NerovaUpdater", 1}, {"Custom", 0}})},
                       {"ModernWebEnabled", true},
                       {"ModernWebHTTPSDecryptEnabled", true},
                       {"WebProtectionScanningEnabled", false}}));
    tree.systemList("com.nerova.hbt.plist",
                    D({{"HeartbeatHealth",
                        D({{"HeartbeatServiceStatesInEnglish", D({{"b-agent", "Running"}, {"a-daemon", "Stopped"}})},
                           {"HeartbeatPermissions", D({{"Transparent Proxy", 0}, {"Content Filter", 2}})},
                           {"HeartbeatExtensions",
                            D({{"Nerova Scan Extension", 0}, {"Nerova Network Extension", 0}})}})},
                       {"HeartbeatZTNAEnabled", true}}),
                    Format::Binary);
    tree.systemList("com.nerova.swc.plist",
                    D({{"CaptivePortalModeTimerLengthInSeconds", 600}, {"WebControlEnabled", true}}));
    tree.systemList("com.nerova.nsg.ztna.plist",
                    D({{"Events", A({D({{"eventType", 12}, {"EventDate", NRVDate::fromUnix(kMarch1At081530)},
                                        {"eventZTNAStatus", 0}}),
                                     D({{"eventType", 12}, {"EventDate", NRVDate::fromUnix(kMarch1At081530 + 20)},
                                        {"eventZTNAStatus", 0}})})},
                       {"ZTNAEvents", A({D({{"eventType", 0},
                                            {"eventParameters", "{\"appName\":\"wiki\"}"},
                                            {"eventDate", kMarch1At081530},
                                            {"eventZTNAStatus", 3}}),
                                         "not an event"})}}),
                    Format::Binary);

    const auto report = tree.report();
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["Services"], J(R"J({"Background Processes": {
        "a-daemon": {"state": "unknown", "value": "Stopped"},
        "b-agent": {"state": "green", "value": "Running"}}, "state": "green"})J"));
    EXPECT_EQ(report["Update"], J(R"J({
        "Update Status": {"Latest Update": {"state": "green", "value": "Succeeded at 08:15:30 Mar 01, 2024 (UTC+0000)"}},
        "Connection Details": {
          "Update Location": {"state": "blue", "value": "Update Cache"},
          "Proxy": {"state": "blue", "value": "Using system settings"},
          "Server": {"state": "blue", "value": ""},
          "Server Address": {"state": "blue", "value": "10.0.0.9"}},
        "state": "green"})J"));
    EXPECT_EQ(report["Management Communication"], J(R"J({
        "Management Communication": {
          "Last Communication": {"state": "yellow",
            "value": "Failed with error \"Service Unavailable\" (503) at 09:00:00 Mar 01, 2024 (UTC+0000)"},
          "Last Successful": {"state": "blue", "value": "08:00:00 Mar 01, 2024 (UTC+0000)"}},
        "Connection Details": {
          "Server": {"state": "blue", "value": "https://mcs.example"},
          "Server Address": {"state": "blue", "value": "10.0.0.5"},
          "Proxy": {"state": "blue", "value": "proxy:3128"},
          "Proxy Username": {"state": "blue", "value": "bob"}},
        "Customer ID": {"state": "blue", "value": "T-9"},
        "state": "yellow"})J"));
    EXPECT_EQ(report["System"], J(R"J({
        "Version": {"state": "blue", "value": "11.2.0"},
        "This Computer": {
          "Username": {"state": "blue", "value": "CORP\\alice"},
          "Computer Name": {"state": "blue", "value": "mac-01"},
          "Proxy Configuration": {"state": "blue", "value": "10.1.2.3:8080"},
          "Operating System Version": {"state": "blue", "value": "macOS Sonoma (14.5)"},
          "Endpoint ID": {"state": "blue", "value": "E-1"},
          "Proxy Username": {"state": "blue", "value": "pu"}},
        "Products": {
          "Nerova Extended Protection": {"state": "blue", "value": "Installed"},
          "Nerova Encryption": {"state": "blue", "value": "Not Installed"},
          "Nerova LiveQuery": {"state": "blue", "value": "Not Installed"},
          "Nerova Anti-Virus": {"state": "blue", "value": "Installed"}},
        "state": "blue"})J"));
    EXPECT_EQ(report["Policy"], J(R"J({"Most Recent Policy Update": {
        "Anti-Virus": {"state": "blue", "value": "08:15:30 Mar 01, 2024 (UTC+0000)"},
        "abc": {"state": "blue", "value": "d2"}}, "state": "blue"})J"));
    EXPECT_TRUE(report["Captive Portal Mode"]["Captive Portal Mode"].contains(
        "Your endpoint will automatically deactivate Captive Portal Mode after 10 minutes, and must be manually "
        "re-activated if you require more time to connect to the Wi-Fi network."));
    EXPECT_EQ(report["Prerequisites"], J(R"J({
        "Permissions": {"Transparent Proxy": {"state": "green", "value": ""},
                        "Content Filter": {"state": "red", "value": ""}},
        "Full Disk Access": {"Custom": {"state": "red", "value": ""},
                             "Nerova Cleaner": {"state": "red", "value": ""},
                             "Nerova Updater": {"state": "green", "value": ""}},
        "System Extensions": {"Nerova Scan Extension": {"state": "red", "value": ""},
                              "Nerova Network Extension": {"state": "green", "value": ""}},
        "Packet Tunnel": {"state": "red", "value": ""},
        "Web Configuration": {"Certificate Status": {"state": "red", "value": "Certificate not installed"}},
        "state": "red"})J"));
    EXPECT_EQ(report["ZTNA"], J(R"J({
        "ZTNA Sessions": {"Reset all session information.": {"state": "blue", "value": ""}},
        "ZTNA Events": {
          "Mar 1, 2024, 8:15 AM ZTNA policy not found": {"state": "green", "value": ""},
          "Mar 1, 2024, 8:15 AM ZTNA policy not found (2)": {"state": "green", "value": ""},
          "Mar 1, 2024, 8:15 AM Access to wiki denied": {"state": "red", "value": ""}},
        "state": "red"})J"));
    EXPECT_EQ(report["Health State"], J(R"J({"state": "red"})J"));
}

TEST(WCKSnapshotGenerator, UnusableSystemListsFallBackToTheUserListsAndPlwIsMerged) {
    wcktest::Tree tree;
    // Garbage bytes and an array root: both count as absent.
    testsupport::writeText(tree.systemPreferences("com.nerova.mcs.plist"), "\x00\x01garbage<plist>");
    tree.userList("com.nerova.mcs.plist", D({{"NRVMcsEndpointUUID", "from-user"}, {"NRVMcsHostName", ""}}));
    tree.systemList("com.nerova.qrb.plist", A({"not", "a", "dictionary"}));
    tree.userList("com.nerova.qrb.plist", D({{"MarketingVersion", "9.9"}}), Format::Binary);
    // Nesting far past what the reader accepts: refused, never a crash.
    std::string deep = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
    for (int i = 0; i < 5000; ++i) deep += "<dict><key>HeartbeatHealth</key>";
    deep += "<string>x</string>";
    for (int i = 0; i < 5000; ++i) deep += "</dict>";
    testsupport::writeText(tree.systemPreferences("com.nerova.hbt.plist"), deep + "</plist>");
    // Wrongly typed values select the defaults.
    tree.systemList("com.nerova.swc.plist", D({{"CaptivePortalModeTimerLengthInSeconds", "600"}}));
    // The system plw keeps its own keys; empty feature lists are filled from the user's.
    tree.systemList("com.nerova.plw.plist", D({{"InstalledFeatures", A({})}, {"LastProxyUsed", "sys-proxy"}}));
    tree.userList("com.nerova.plw.plist",
                  D({{"InstalledFeatures", A({"ZTNA"})}, {"LastProxyUsed", "user-proxy"}, {"LastUpdate", "yesterday"}}));

    const auto report = tree.report();
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["System"]["This Computer"]["Endpoint ID"]["value"], "from-user");
    EXPECT_EQ(report["System"]["This Computer"]["Computer Name"]["value"], "Test Mac");
    EXPECT_EQ(report["System"]["Version"]["value"], "9.9");
    EXPECT_EQ(report["System"]["Products"]["Nerova ZTNA"]["value"], "Installed");
    EXPECT_EQ(report["Services"]["Background Processes"], J("{}"));
    EXPECT_TRUE(report["Captive Portal Mode"]["Captive Portal Mode"].contains(
        "Your endpoint will automatically deactivate Captive Portal Mode after 5 minutes, and must be manually "
        "re-activated if you require more time to connect to the Wi-Fi network."));
    EXPECT_EQ(report["Update"]["Connection Details"]["Proxy"]["value"], "sys-proxy");
    EXPECT_EQ(report["Update"]["Update Status"]["Latest Update"]["value"], "No updates attempted");
    EXPECT_EQ(report["Prerequisites"]["System Extensions"],
              J(R"J({"Nerova Network Extension": {"state": "red", "value": ""}})J"));
    // ZTNA is installed but its list is missing: the section is still there.
    EXPECT_EQ(report["ZTNA"], J(R"J({
        "ZTNA Sessions": {"Reset all session information.": {"state": "blue", "value": ""}},
        "ZTNA Events": {}, "state": "green"})J"));
}

TEST(WCKSnapshotGenerator, SampleProductTreeFillsEverySection) {
    testsupport::TempDir dir;
    testsupport::ScopedEnv root("NRV_SYSTEM_ROOT", std::string(NRV_FIXTURES_DIR) + "/sample-root");
    testsupport::ScopedEnv home("HOME", dir.path());
    testsupport::ScopedEnv tz("TZ", std::string("UTC"));
    const std::string path = dir / "Nerova Wellcheck.log";
    ASSERT_TRUE(WCKSnapshotGenerator::writeSnapshot(path));
    const auto report = nlohmann::json::parse(testsupport::readText(path));

    for (const char* key : {"Services", "Update", "Management Communication", "Health State", "System", "Policy",
                            "Captive Portal Mode", "Prerequisites", "ZTNA"})
        EXPECT_TRUE(report.contains(key)) << key;
    EXPECT_EQ(report["Services"]["state"], "red");
    EXPECT_EQ(report["Update"]["state"], "green");
    EXPECT_EQ(report["Management Communication"]["state"], "yellow");
    EXPECT_EQ(report["Management Communication"]["Connection Details"]["Message Relay"]["value"],
              "relay.sample.lan:8190");
    EXPECT_EQ(report["System"]["Products"]["Nerova ZTNA"]["value"], "Installed");
    EXPECT_EQ(report["Policy"]["Most Recent Policy Update"]["custom"]["value"], "09:00:00 Feb 27, 2024 (UTC+0000)");
    for (const char* part : {"Permissions", "Full Disk Access", "System Extensions", "Packet Tunnel", "Web Configuration"})
        EXPECT_TRUE(report["Prerequisites"].contains(part)) << part;
    EXPECT_EQ(report["ZTNA"]["ZTNA Events"].size(), 5u);
    EXPECT_EQ(report["ZTNA"]["state"], "red");
    EXPECT_EQ(report["Health State"]["state"], "red");
}

class RecordingLogger : public StatusLogger {
public:
    explicit RecordingLogger(std::string log) : StatusLogger(std::move(log)) {}
    void indicateSuccess(const std::string& message) override { successes.push_back(message); }
    void indicateWarning(const std::string& message) override { warnings.push_back(message); }
    std::vector<std::string> successes, warnings;
};

TEST(WCKSnapshotWriter, WritesTheReportIntoANewFolderAndReplacesAnOldOne) {
    wcktest::Tree tree;
    const std::string folder = tree.dir() / "staging/sub";
    auto logger = std::make_shared<RecordingLogger>(tree.dir() / "collection.log");

    // The catalogue row's folder is relative to the staging folder.
    WCKSnapshotWriter("sub", logger, tree.dir() / "staging").performWCKLogsWrite();
    testsupport::writeText(folder + "/Nerova Wellcheck.log", "half a report");
    WCKSnapshotWriter("sub", logger, tree.dir() / "staging").performWCKLogsWrite();

    EXPECT_EQ(logger->successes, std::vector<std::string>(2, "Wrote Nerova Wellcheck.log from plists"));
    EXPECT_TRUE(logger->warnings.empty());
    const auto json = nlohmann::json::parse(testsupport::readText(folder + "/Nerova Wellcheck.log"));
    EXPECT_EQ(json["Health State"]["state"], "red");
    // Nothing but the report is left behind (no temporary file).
    const auto entries = platform::fs::contentsOfDirectory(folder, false);
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ(entries->front().name, "Nerova Wellcheck.log");
}

TEST(WCKSnapshotWriter, AFolderThatCannotBeMadeGivesTheWarning) {
    wcktest::Tree tree;
    testsupport::writeText(tree.dir() / "staging/plainfile", "x");
    auto logger = std::make_shared<RecordingLogger>(tree.dir() / "collection.log");

    WCKSnapshotWriter("plainfile/sub", logger, tree.dir() / "staging").performWCKLogsWrite();
    // Without a logger the failure is silent and harmless.
    WCKSnapshotWriter("plainfile/sub", nullptr, tree.dir() / "staging").performWCKLogsWrite();

    EXPECT_TRUE(logger->successes.empty());
    EXPECT_EQ(logger->warnings, std::vector<std::string>{"Could not generate Nerova Wellcheck.log from plists"});
}

}  // namespace

// The installed features: the system and user update lists merged key by
// key, then the first non-empty of InstalledFeatures,
// InstallerProcessedFeatures and LastUpdateEventData.features, with the log
// line that says which one was used.
TEST(WCKSnapshotGenerator, FeatureSetFallbacksAndTheUserMerge) {
    const NRVValue none;  // no list at all
    struct Case {
        const char* name;
        NRVValue system;
        NRVValue user;
        std::set<std::string> features;
        const char* logLine;
    } cases[] = {
        {"system installed features win", D({{"InstalledFeatures", A({"XPD", "XPD", 3})}}),
         D({{"InstalledFeatures", A({"AV"})}}), {"XPD"}, "WCK: using InstalledFeatures (1 features)"},
        {"empty system list filled from the user", D({{"InstalledFeatures", A({})}}),
         D({{"InstalledFeatures", A({"AV", "ZTNA"})}}), {"AV", "ZTNA"}, "WCK: using InstalledFeatures (2 features)"},
        {"installer features when none installed", D({{"InstallerProcessedFeatures", A({"MDR"})}}), none, {"MDR"},
         "WCK: InstalledFeatures empty, falling back to InstallerProcessedFeatures (1 features)"},
        {"installer features from the user", D({{"InstalledFeatures", A({1})}}),
         D({{"InstallerProcessedFeatures", A({"AV"})}}), {"AV"},
         "WCK: InstalledFeatures empty, falling back to InstallerProcessedFeatures (1 features)"},
        {"last update event as the last resort", D({{"LastUpdateEventData", D({{"features", A({"AV", "LIVEQUERY"})}})}}),
         none, {"AV", "LIVEQUERY"}, "WCK: falling back to LastUpdateEventData.features (2 features)"},
        {"last update event taken from the user when the system lacks the key", D({{"LastProxyUsed", "p"}}),
         D({{"LastUpdateEventData", D({{"features", A({"DISKENCRYPTION"})}})}}), {"DISKENCRYPTION"},
         "WCK: falling back to LastUpdateEventData.features (1 features)"},
        {"the system's last update event stays even when unusable", D({{"LastUpdateEventData", "text"}}),
         D({{"LastUpdateEventData", D({{"features", A({"AV"})}})}}), {},
         "WCK: falling back to LastUpdateEventData.features (0 features)"},
        {"user list alone", none, D({{"InstalledFeatures", A({"AV"})}}), {"AV"}, "WCK: using InstalledFeatures (1 features)"},
        {"no list", none, none, {}, "WCK: falling back to LastUpdateEventData.features (0 features)"},
    };
    for (const Case& c : cases) {
        wcktest::Tree tree;
        if (!c.system.isNull()) tree.systemList("com.nerova.plw.plist", c.system);
        if (!c.user.isNull()) tree.userList("com.nerova.plw.plist", c.user, Format::Binary);
        auto sink = std::make_shared<platform::log::CaptureSink>();
        platform::log::setSink(sink);
        const auto plw = WCKSnapshotGenerator::loadPlwPlist();
        EXPECT_EQ(plw.has_value(), !c.system.isNull() || !c.user.isNull()) << c.name;
        EXPECT_EQ(WCKSnapshotGenerator::effectiveFeatureSet(plw ? &*plw : nullptr), c.features) << c.name;
        platform::log::setSink(nullptr);
        // Only the report's own lines: queues of other tests' objects may
        // still log into the process's sink.
        std::vector<platform::log::Record> records;
        for (const auto& record : sink->records())
            if (record.message.rfind("WCK:", 0) == 0) records.push_back(record);
        ASSERT_EQ(records.size(), 1u) << c.name;
        EXPECT_EQ(records[0].message, c.logLine) << c.name;
    }
    // Other keys come from the system list alone.
    wcktest::Tree tree;
    tree.systemList("com.nerova.plw.plist", D({{"LastProxyUsed", "system"}}));
    tree.userList("com.nerova.plw.plist", D({{"LastProxyUsed", "user"}, {"LastUpdate", "yesterday"}}));
    const auto plw = WCKSnapshotGenerator::loadPlwPlist();
    ASSERT_TRUE(plw);
    EXPECT_EQ(plw->keys(), std::vector<std::string>{"LastProxyUsed"});
    EXPECT_EQ(*plw->find("LastProxyUsed"), NRVValue("system"));
}

// Hostile but well-formed lists: each still gives a finished report, and
// what can be shown is shown.
TEST(WCKSnapshotGenerator, HostileListsStillGiveAFinishedReport) {
    wcktest::Tree tree;
    // An empty system list counts as absent; the user's is read instead.
    testsupport::writeText(tree.systemPreferences("com.nerova.mcs.plist"), "");
    tree.userList("com.nerova.mcs.plist", D({{"NRVMcsEndpointUUID", "from-user"}}));
    // A list of 100,000 keys, the one that matters last.
    NRVDictionary many;
    for (int i = 0; i < 100000; ++i) many.set("key" + std::to_string(i), i);
    many.set("MarketingVersion", "10.1");
    tree.systemList("com.nerova.qrb.plist", many, Format::Binary);
    tree.systemList("com.nerova.plw.plist", D({{"InstalledFeatures", A({"ZTNA"})}}));
    // Event dates far before 1901 and after 2100, and parameters nested
    // 100,000 deep (refused, so the event shows its text without them).
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    tree.systemList("com.nerova.nsg.ztna.plist",
                    D({{"Events", A({D({{"eventType", 12}, {"EventDate", NRVDate::fromUnix(-3786825600.0)}}),
                                     D({{"eventType", 12}, {"EventDate", NRVDate::fromUnix(7258118400.0)}}),
                                     D({{"eventType", 0}, {"EventDate", NRVDate::fromUnix(0)},
                                        {"eventParameters", "{\"appName\":" + deep + "}"}})})}}),
                    Format::Binary);

    const auto report = tree.report();
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["System"]["This Computer"]["Endpoint ID"]["value"], "from-user");
    EXPECT_EQ(report["System"]["Version"]["value"], "10.1");
    std::vector<std::string> rows;
    for (const auto& [key, value] : report["ZTNA"]["ZTNA Events"].items()) rows.push_back(key);
    std::sort(rows.begin(), rows.end());  // the JSON reader here sorts keys
    EXPECT_EQ(rows, (std::vector<std::string>{"Jan 1, 1850, 12:00 AM ZTNA policy not found",
                                              "Jan 1, 1970, 12:00 AM App access denied",
                                              "Jan 1, 2200, 12:00 AM ZTNA policy not found"}));
}
