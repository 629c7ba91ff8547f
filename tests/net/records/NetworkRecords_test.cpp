#include <gtest/gtest.h>

#include "net/records/DomainInfo.h"
#include "net/records/NRVNetworkExtensionEvent.h"
#include "net/records/ObfuscationHelper.h"
#include "net/records/ThreatInfoForURL.h"

namespace {

TEST(NetworkRecords, RoundTripsInKeyOrder) {
    NRVNetworkExtensionEvent e;
    e.isProxyConnection = true;
    e.isURLValid = true;
    e.destIP = "127.0.0.1";
    e.destPort = 443;
    e.sourcePort = 50000;
    e.ipVersion = 4;
    e.protocol = "tcp";
    e.URL = "https://127.0.0.1/";
    e.pid = 0xFFFFFFFFFFFFFFF0ull;  // travels as a signed integer and comes back whole
    NRVDictionary coder;
    e.encodeWithCoder(coder);
    EXPECT_EQ(coder.keys(), (std::vector<std::string>{"destIP", "destPort", "sourcePort", "ipVersion", "protocol",
                                                      "URL", "pid", "isProxyConnection", "isBrowser", "isDelayed",
                                                      "isURLValid"}));
    NRVError error;
    EXPECT_EQ(NRVNetworkExtensionEvent::initWithCoder(coder, &error), e);
    EXPECT_EQ(error.code, 0);

    ThreatInfoForURL t;
    t.url = "https://example.org/x";
    t.threatName = "Phish";
    t.kelpUriID = 7;
    t.ttl = 3600;
    t.riskLevel = "high";
    t.universalCategory = "phishing";
    NRVDictionary tc;
    t.encodeWithCoder(tc);
    EXPECT_EQ(tc.keys(),
              (std::vector<std::string>{"url", "threatName", "kelpUriID", "ttl", "riskLevel", "universalCategory"}));
    EXPECT_EQ(ThreatInfoForURL::initWithCoder(tc), t);

    DomainInfo d;
    d.domain = "example.org";
    d.kelpId = 1;
    d.reputation = 80;
    d.ttl = 60;
    d.universalCategories = NRVArray{1, 2, 3.5};
    NRVDictionary dc;
    d.encodeWithCoder(dc);
    EXPECT_EQ(dc.keys(), (std::vector<std::string>{"domain", "kelpId", "reputation", "ttl", "universalCategories"}));
    EXPECT_EQ(DomainInfo::initWithCoder(dc), d);

    // Missing keys decode as nil, 0 and false.
    EXPECT_EQ(NRVNetworkExtensionEvent::initWithCoder(NRVDictionary{}), NRVNetworkExtensionEvent{});
    EXPECT_EQ(DomainInfo::initWithCoder(NRVDictionary{}), DomainInfo{});
}

TEST(NetworkRecords, ValuesOfAnotherKindAreRefused) {
    struct Row {
        const char* key;
        NRVValue value;
    };
    const Row rows[] = {
        {"universalCategories", NRVArray{1, "two"}},
        {"universalCategories", "1,2"},
        {"domain", 5},
        {"kelpId", "5"},
    };
    for (const auto& row : rows) {
        NRVDictionary coder;
        coder.set("domain", "example.org");
        coder.set("ttl", 9);
        coder.set(row.key, row.value);
        NRVError error;
        EXPECT_FALSE(DomainInfo::initWithCoder(coder, &error)) << row.key;
        EXPECT_EQ(error.code, 4864) << row.key;
        EXPECT_NE(error.localizedDescription.find(row.key), std::string::npos);
    }
    NRVDictionary badBool;
    badBool.set("isBrowser", "yes");
    NRVError error;
    EXPECT_FALSE(NRVNetworkExtensionEvent::initWithCoder(badBool, &error));
    EXPECT_EQ(error.code, 4864);
    NRVDictionary badURL;
    badURL.set("url", NRVData{1});
    EXPECT_FALSE(ThreatInfoForURL::initWithCoder(badURL));
}

TEST(NetworkRecords, Obfuscation) {
    struct Row {
        const char* result;
        const char* threat;
        const char* shown;
    };
    const Row rows[] = {
        {"https://example.org/page", "crim/cp", "xxxxxxxx"},
        {"https://example.org/page", "Crim/CP", "xxxxxxxx"},
        {"https://example.org/favicon.ICO", "Phish", "xxxxxxxx"},
        {"https://example.org/page", "Phish", "https://example.org/page"},
        {"example.org", "Phish", "xxxxxxxx"},
        {"Example.ORG", "", "xxxxxxxx"},
        {"example.org/page", "Phish", "example.org/page"},
    };
    for (const auto& r : rows) EXPECT_EQ(ObfuscationHelper::obfuscatedIwfResult(r.result, r.threat), r.shown) << r.result;
}

}  // namespace
