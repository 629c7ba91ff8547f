// Section builders and value readers, case by case.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "WCKTestTree.h"
#include "collector/wellcheck/WCKDateFormatters.h"
#include "collector/wellcheck/WCKSnapshotGenerator.h"

namespace {

namespace G = WCKSnapshotGenerator;
using wcktest::A;
using wcktest::D;
using wcktest::J;
using wcktest::toJSON;

const NRVDictionary* dict(const NRVValue& v) { return v.asDictionary(); }

class WCKSections : public ::testing::Test {
protected:
    testsupport::ScopedEnv tz_{"TZ", std::string("UTC")};
};

TEST_F(WCKSections, ValueReadersNeverConvertUnusableReals) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        NRVValue value;
        std::optional<bool> boolean;
        std::optional<std::int64_t> integer;
    } cases[] = {
        {"true", true, true, 1},
        {"integer 1", 1, true, 1},
        {"integer 2", 2, false, 2},
        {"integer 0", 0, false, 0},
        {"text true", "true", std::nullopt, std::nullopt},
        {"real 2.7", 2.7, std::nullopt, 2},
        {"NaN", nan, std::nullopt, std::nullopt},
        {"infinity", -inf, std::nullopt, std::nullopt},
        {"too large", 1e300, std::nullopt, std::nullopt},
        {"2^63", 9223372036854775808.0, std::nullopt, std::nullopt},
        {"null", NRVValue(), std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(G::plistBool(&c.value), c.boolean) << c.name;
        EXPECT_EQ(G::intFromPlist(&c.value), c.integer) << c.name;
    }
    EXPECT_EQ(G::plistBool(nullptr), std::nullopt);
    const NRVValue mixed = A({"AV", 3, "XPD", D({})});
    EXPECT_EQ(G::stringArray(&mixed), (std::vector<std::string>{"AV", "XPD"}));
}

TEST_F(WCKSections, DatesAreShownInLocalTimeOrAsStored) {
    struct Case {
        std::optional<std::string> in, out;
    } cases[] = {
        {"2024-03-01T08:15:30.123456+00:00", "08:15:30 Mar 01, 2024 (UTC+0000)"},
        {"2024-03-01T08:15:30.123456Z", "08:15:30 Mar 01, 2024 (UTC+0000)"},
        {"2024-03-01T10:15:30.000000+02:00", "08:15:30 Mar 01, 2024 (UTC+0000)"},
        {"2024-03-01T08:15:30Z", "08:15:30 Mar 01, 2024 (UTC+0000)"},
        {"2024-03-01T09:15:30.123456+0100", "08:15:30 Mar 01, 2024 (UTC+0000)"},
        {"2024-03-01T10:15:30+02", "08:15:30 Mar 01, 2024 (UTC+0000)"},
        {"2024-03-01T08:15:30.5Z", "08:15:30 Mar 01, 2024 (UTC+0000)"},
        {"2024-02-30T08:15:30Z", "2024-02-30T08:15:30Z"},
        {"2024-03-01T24:15:30Z", "2024-03-01T24:15:30Z"},
        {"2024-03-01 08:15:30Z", "2024-03-01 08:15:30Z"},
        {"yesterday", "yesterday"},
        {"", ""},
        {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(DateFormatters::format(c.in), c.out) << c.in.value_or("<none>");

    testsupport::ScopedEnv berlin("TZ", std::string("CET-1"));
    EXPECT_EQ(DateFormatters::format("2024-03-01T08:15:30Z"), "09:15:30 Mar 01, 2024 (UTC+0100)");
    EXPECT_EQ(DateFormatters::displayOutput(NRVDate{std::numeric_limits<double>::quiet_NaN()}), std::nullopt);
}

TEST_F(WCKSections, LatestUpdateFollowsTheStoredOutcome) {
    struct Case {
        const char* name;
        NRVValue plw;
        const char* state;
        const char* value;
    } cases[] = {
        {"no list", NRVValue(), "red", "No updates attempted"},
        {"outcome unknown", D({{"LastUpdate", "2024-03-01T08:15:30Z"}}), "blue",
         "Succeeded at 08:15:30 Mar 01, 2024 (UTC+0000)"},
        {"integer 1", D({{"LastUpdate", "x"}, {"LastUpdateSucceeded", 1}}), "green", "Succeeded at x"},
        {"integer 0", D({{"LastUpdate", "x"}, {"LastUpdateSucceeded", 0}}), "red", "Failed at x"},
        {"date not text", D({{"LastUpdate", 5}, {"LastUpdateSucceeded", true}}), "red", "No updates attempted"},
    };
    for (const auto& c : cases) {
        const auto status = toJSON(G::formatUpdateStatus(dict(c.plw)));
        EXPECT_EQ(status["Latest Update"]["state"], c.state) << c.name;
        EXPECT_EQ(status["Latest Update"]["value"], c.value) << c.name;
    }
    const NRVValue other = D({{"Type", "Elsewhere"}});
    EXPECT_EQ(G::updateLocationString(dict(other)), "Could not determine the last update source.");
}

TEST_F(WCKSections, LastCommunicationJudgesCodeAndTimestamps) {
    const auto mcs = [](NRVValue code, const char* last, const char* success, const char* status = "policy received") {
        NRVDictionary d = *D({{"NRVMcsRegistrationStatus", status},
                              {"NRVMcsLastCommunications", D({{"NRVMcsLastCommunicationTimestamp", last},
                                                              {"NRVMcsLastSuccessCommunicationTimestamp", success}})}})
                               .asDictionary();
        if (!code.isNull()) d.set("NRVMcsErrorCode", code);
        return d;
    };
    struct Case {
        const char* name;
        NRVDictionary mcs;
        const char* state;
        const char* value;
        std::optional<std::string> lastSuccessful;
    } cases[] = {
        {"succeeded", mcs(NRVValue(), "t1", "t1"), "green", "Succeeded at t1", std::nullopt},
        {"503 is a warning", mcs(503, "t2", "t1"), "yellow", "Failed with error \"Unknown\" (503) at t2", "t1"},
        {"500 is bad", mcs(500, "t2", "t1"), "red", "Failed with error \"Unknown\" (500) at t2", "t1"},
        {"no code", mcs(NRVValue(), "t2", "t1"), "red", "Failed with error \"Unknown\" (Unknown) at t2", "t1"},
        {"code on an equal time", mcs(7, "t1", "t1"), "red", "Failed with error \"Unknown\" (7) at t1", "t1"},
        {"code of another type", mcs("503", "t2", "t1"), "red", "Failed with error \"Unknown\" (Unknown) at t2", "t1"},
        {"not registered", mcs(NRVValue(), "t1", "t1", "registered"), "blue",
         "No management communication has succeeded", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto r = G::formatLastCommunication(&c.mcs);
        EXPECT_EQ(r.state, c.state) << c.name;
        EXPECT_EQ(r.value, c.value) << c.name;
        EXPECT_EQ(r.lastSuccessful, c.lastSuccessful) << c.name;
    }
}

TEST_F(WCKSections, ConnectionDetailsPreferTheMessageRelay) {
    const NRVValue both = D({{"NRVMcsLastMRUsed", "relay:8190"}, {"NRVMcsLastMRUsedUsername", "mr-user"},
                             {"NRVMcsLastProxyUsed", "proxy:3128"}, {"NRVMcsServerUrl", 4}});
    EXPECT_EQ(toJSON(G::buildMCSConnectionDetails(dict(both))), J(R"J({
        "Server": {"state": "blue", "value": "Not available"},
        "Server Address": {"state": "blue", "value": "Not available"},
        "Message Relay": {"state": "blue", "value": "relay:8190"},
        "Proxy Username": {"state": "blue", "value": "mr-user"}})J"));
}

TEST_F(WCKSections, HealthStateTakesTheWorstOfTheJudgedSections) {
    const auto section = [](const char* state) { return *D({{"state", state}}).asDictionary(); };
    const NRVDictionary green = section("green"), noState;
    const NRVDictionary ztnaRed = section("red");
    struct Case {
        const char* name;
        const NRVDictionary* ztna;
        const NRVDictionary& services;
        const char* expected;
    } cases[] = {
        {"all green", nullptr, green, "green"},
        {"a section without state counts blue", nullptr, noState, "green"},
        {"ZTNA red wins", &ztnaRed, green, "red"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(*G::buildHealthState(c.services, green, green, green, c.ztna).find("state")->asString(),
                  c.expected)
            << c.name;
}

TEST_F(WCKSections, OperatingSystemRowNamesKnownVersionsAndShowsOtherTexts) {
    struct Case {
        std::optional<std::string> version;
        const char* expected;
    } cases[] = {
        {"14.5.1", "macOS Sonoma (14.5)"},
        {"16.0", "macOS (16.0)"},
        {"26", "macOS Tahoe (26.0)"},
        {"Debian GNU/Linux 12 (bookworm)", "Debian GNU/Linux 12 (bookworm)"},
        {"14.", "14."},
        {std::nullopt, "Unknown"},
    };
    for (const auto& c : cases) {
        G::overrideHostFacts(WCKHostFacts{"h", c.version});
        EXPECT_EQ(G::createOSVersionName(), c.expected) << c.version.value_or("<none>");
    }
    G::overrideHostFacts(std::nullopt);
}

TEST_F(WCKSections, PolicyReceiptsAndVersionThreeMode) {
    const NRVValue receipts = D({{"NRVMcsRegistrationStatus", "policy received"},
                                 {"NRVMcsPolicyLastReceived", "2024-03-01T08:15:30Z"},
                                 {"NRVMcsPolicyReceipts", D({{"abc12", "d1"}, {"abc7", "d2"}, {"42x", "d3"}, {"web2", "d4"}})}});
    const NRVValue v3 = D({{"MCSv3Enabled", true}});
    const NRVValue v3Integer = D({{"MCSv3Enabled", 1}});
    EXPECT_EQ(toJSON(G::buildPolicySection(dict(receipts), nullptr)), J(R"J({"Most Recent Policy Update": {
        "": {"state": "blue", "value": "d3"},
        "abc": {"state": "blue", "value": "d2"},
        "Web Control": {"state": "blue", "value": "d4"}}, "state": "blue"})J"));
    EXPECT_EQ(toJSON(G::buildPolicySection(dict(receipts), dict(v3)))["Most Recent Policy Update"],
              J(R"J({"MCS V3 Policy": {"state": "blue", "value": "08:15:30 Mar 01, 2024 (UTC+0000)"}})J"));
    // Only the boolean true selects version-3 mode.
    EXPECT_EQ(toJSON(G::buildPolicySection(dict(receipts), dict(v3Integer)))["Most Recent Policy Update"].size(), 3u);
    const NRVValue v3WithoutDate = D({{"NRVMcsRegistrationStatus", "policy received"},
                                      {"NRVMcsPolicyReceipts", D({{"nav1", "d1"}})}});
    EXPECT_EQ(toJSON(G::buildPolicySection(dict(v3WithoutDate), dict(v3)))["Most Recent Policy Update"],
              J(R"J({"Most Recent Policy Update": {"state": "blue", "value": "Policy has not been received"}})J"));
}

TEST_F(WCKSections, CaptivePortalMinutes) {
    struct Case {
        NRVValue seconds;
        int minutes;
    } cases[] = {{59, 1}, {600, 10}, {-120, 1}, {"600", 5}, {600.0, 5}, {NRVValue(), 5}};
    for (const auto& c : cases) {
        NRVDictionary swc;
        if (!c.seconds.isNull()) swc.set("CaptivePortalModeTimerLengthInSeconds", c.seconds);
        const std::string expected = "Your endpoint will automatically deactivate Captive Portal Mode after " +
                                     std::to_string(c.minutes) + " minutes, and must be manually re-activated if you "
                                     "require more time to connect to the Wi-Fi network.";
        EXPECT_TRUE(toJSON(G::buildCaptivePortalSection(&swc))["Captive Portal Mode"].contains(expected)) << c.minutes;
    }
}

TEST_F(WCKSections, ProductsAndProxyConfiguration) {
    EXPECT_EQ(toJSON(G::buildProductsSection({"AV", "MDR", "OTHER"})), J(R"J({
        "Nerova Extended Protection": {"state": "blue", "value": "Not Installed"},
        "Nerova Encryption": {"state": "blue", "value": "Not Installed"},
        "Nerova LiveQuery": {"state": "blue", "value": "Not Installed"},
        "Nerova Anti-Virus": {"state": "blue", "value": "Installed"},
        "Nerova Managed Detection and Response": {"state": "blue", "value": "Installed"}})J"));
    const NRVValue textPort = D({{"ProxyConfiguration", D({{"ProxyURL", "10.1.2.3"}, {"ProxyPort", "8080"}})}});
    EXPECT_EQ(G::proxyConfigurationString(dict(textPort)), "No proxy configured in policy");
}

TEST_F(WCKSections, PrerequisitesOnlyShowWhatIsRequired) {
    const NRVValue emptyFDA = D({{"PrerequisiteFullDiskAccessReady", D({})}});
    EXPECT_EQ(toJSON(G::prerequisites({}, nullptr, dict(emptyFDA), nullptr, nullptr)),
              J(R"J({"Full Disk Access": {}, "state": "blue"})J"));

    const NRVValue hbt = D({{"HeartbeatHealth", D({{"HeartbeatFDAServices", D({{"Nerova Updater", 0}, {"Nerova Cleaner", 1}})},
                                                   {"HeartbeatExtensions", D({{"Nerova Network Extension", 0}})}})}});
    const auto section = toJSON(G::prerequisites({"ZTNA"}, dict(hbt), nullptr, nullptr, nullptr));
    EXPECT_EQ(section["System Extensions"], J(R"J({"Nerova Network Extension": {"state": "green", "value": ""}})J"));
    EXPECT_EQ(section["Full Disk Access"]["Nerova Updater"]["state"], "green");
    EXPECT_EQ(section["Full Disk Access"]["Nerova Cleaner"]["state"], "red");
    EXPECT_EQ(section["Full Disk Access"].size(), 8u);
    EXPECT_FALSE(section.contains("Permissions"));
    EXPECT_FALSE(section.contains("Packet Tunnel"));

    const NRVValue mwTrusted = D({{"ModernWebSystemRootCA", "pem"}, {"ModernWebSystemRootCATrusted", true}});
    const NRVValue qrbWeb = D({{"ModernWebEnabled", true}, {"ModernWebHTTPSDecryptEnabled", true},
                               {"WebProtectionFilteringEnabled", true}});
    EXPECT_EQ(toJSON(*G::buildWebConfigurationSection({"AV"}, dict(qrbWeb), nullptr, dict(mwTrusted))),
              J(R"J({"Certificate Status": {"state": "green", "value": ""}})J"));
    EXPECT_FALSE(G::buildWebConfigurationSection({"XPD"}, dict(qrbWeb), nullptr, dict(mwTrusted)).has_value());
}

TEST_F(WCKSections, FullDiskAccessAliasesKeepTheWorseStateWhateverTheirOrder) {
    struct Case {
        const char* firstKey;
        bool firstGranted;
        const char* secondKey;
        bool secondGranted;
    } cases[] = {
        {"NerovaScanAgent", true, "com.nerova.scanagent", false},
        {"NerovaScanAgent", false, "com.nerova.scanagent", true},
        {"com.nerova.scanagent", true, "NerovaScanAgent", false},
        {"com.nerova.scanagent", false, "NerovaScanAgent", true},
    };
    for (const auto& c : cases) {
        NRVDictionary ready;
        ready.set(c.firstKey, c.firstGranted);
        ready.set(c.secondKey, c.secondGranted);
        NRVDictionary qrb;
        qrb.set("PrerequisiteFullDiskAccessReady", ready);
        EXPECT_EQ(toJSON(G::buildFullDiskAccessSection(nullptr, &qrb)),
                  J(R"J({"Nerova Scan Agent": {"state": "red", "value": ""}})J"))
            << c.firstKey << " " << c.firstGranted;
    }
}

TEST_F(WCKSections, ZTNAEventDescriptions) {
    struct Case {
        std::int64_t type;
        NRVValue parameters;
        const char* expected;
    } cases[] = {
        {0, D({{"appName", "wiki"}, {"reason", "policy"}}), "Access to wiki denied due to: policy"},
        {0, D({{"appName", "wiki"}}), "Access to wiki denied"},
        {0, D({{"reason", "policy"}}), "App access denied"},
        {1, D({{"upn", "a@b"}}), "User a@b authenticated successfully"},
        {2, D({{"appName", ""}}), "DNS resolution for  unsuccessful on the server"},
        {3, D({{"appBlockedTime", 30}}), "Access to application blocked for 30 seconds. Try again later"},
        {3, D({{"appBlockedTime", "45"}}), "Access to application blocked for 45 seconds. Try again later"},
        {3, D({{"appBlockedTime", std::numeric_limits<double>::quiet_NaN()}}), "Access to application blocked. Try again later"},
        {3, D({{"appBlockedTime", 30.5}}), "Access to application blocked. Try again later"},
        {3, D({{"appBlockedTime", 60.0}}), "Access to application blocked for 60 seconds. Try again later"},
        {3, D({{"appBlockedTime", true}}), "Access to application blocked. Try again later"},
        {7, D({{"fqdn", "h.example"}}), "Failed to create connection. Server certificate validation error"},
        {11, D({{"fqdn", "h.example"}, {"reason", "timeout"}}),
         "Failed to create connection. DNS resolution failed for server h.example, due to: timeout"},
        {13, D({{"reason", "bad"}}), "Failed to apply ZTNA policy: bad"},
        {14, NRVValue(), "ZTNA notification"},
        {99, NRVValue(), "ZTNA event (type 99)"},
        {-1, NRVValue(), "ZTNA event (type -1)"},
    };
    for (const auto& c : cases) EXPECT_EQ(G::ztnaEventDescription(c.type, dict(c.parameters)), c.expected) << c.type;

    const auto params = [](NRVValue v) { return G::ztnaEventParameters(*D({{"eventParameters", v}}).asDictionary()); };
    EXPECT_EQ(params(R"({"appName": "wiki"})"), *D({{"appName", "wiki"}}).asDictionary());
    EXPECT_EQ(params("[1, 2]"), std::nullopt);
    EXPECT_EQ(params("{not json"), std::nullopt);
    EXPECT_EQ(params(std::string(100000, '[') + std::string(100000, ']')), std::nullopt);
}

TEST_F(WCKSections, ZTNAEventsFromOtherKeysAndDates) {
    // Only an array under another key whose first dictionary has a type qualifies.
    const NRVValue other = D({{"Recent", A({"x", D({{"eventType", 12}, {"eventDate", "2024-03-01T08:15:30Z"}})})}});
    EXPECT_EQ(toJSON(G::buildZTNAEventsSubsection(dict(other))),
              J(R"J({"Mar 1, 2024, 8:15 AM ZTNA policy not found": {"state": "blue", "value": ""}})J"));
    const NRVValue untyped = D({{"Recent", A({D({{"kind", 1}}), D({{"eventType", 12}})})}});
    EXPECT_EQ(toJSON(G::buildZTNAEventsSubsection(dict(untyped))), J("{}"));

    // An unusable first date key moves on to the second.
    const NRVValue dates = D({{"EventDate", std::numeric_limits<double>::infinity()}, {"eventDate", 1709280930}});
    EXPECT_EQ(G::dateFromZTNAEventDict(*dict(dates)), NRVDate::fromUnix(1709280930));
    const NRVValue badDates = D({{"EventDate", NRVDate{std::numeric_limits<double>::quiet_NaN()}}, {"eventDate", "soon"}});
    EXPECT_EQ(G::dateFromZTNAEventDict(*dict(badDates)), std::nullopt);
}

TEST_F(WCKSections, ZTNARowKeysNeverOverwriteAnExistingRow) {
    // The third event's generated key equals the second event's own text.
    const NRVValue date = NRVDate::fromUnix(1709280930);
    const NRVValue plist = D({{"Events", A({D({{"eventType", 13}, {"eventParameters", D({{"reason", "x"}})},
                                               {"EventDate", date}, {"eventZTNAStatus", 0}}),
                                            D({{"eventType", 13}, {"eventParameters", D({{"reason", "x (2)"}})},
                                               {"EventDate", date}, {"eventZTNAStatus", 4}}),
                                            D({{"eventType", 13}, {"eventParameters", D({{"reason", "x"}})},
                                               {"EventDate", date}}),
                                            D({{"eventParameters", D({})}})})}});
    EXPECT_EQ(toJSON(G::buildZTNASection(dict(plist))), J(R"J({
        "ZTNA Sessions": {"Reset all session information.": {"state": "blue", "value": ""}},
        "ZTNA Events": {
          "Mar 1, 2024, 8:15 AM Failed to apply ZTNA policy: x": {"state": "green", "value": ""},
          "Mar 1, 2024, 8:15 AM Failed to apply ZTNA policy: x (2)": {"state": "red", "value": ""},
          "Mar 1, 2024, 8:15 AM Failed to apply ZTNA policy: x (3)": {"state": "blue", "value": ""}},
        "state": "red"})J"));
}

}  // namespace
