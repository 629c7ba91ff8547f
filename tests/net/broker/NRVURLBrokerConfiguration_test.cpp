#include "net/broker/NRVURLBrokerConfiguration.h"

#include <gtest/gtest.h>

#include "foundation/NSDictionaryExtensions.h"
#include "net/broker/NRVProxyDictionaryKeys.h"

namespace {

using Config = NRVURLBrokerConfiguration;

TEST(NRVURLBrokerConfiguration, HostFactoriesRefuseAMissingHostOrPortZero) {
    struct Row {
        std::optional<std::string> host;
        std::uint64_t port;
        bool made;
    };
    const Row rows[] = {
        {"proxy.test", 3128, true}, {"proxy.test", 0, false}, {"", 3128, false}, {std::nullopt, 3128, false}};
    for (const auto& row : rows) {
        EXPECT_EQ(Config::customConfigurationWithProxy(row.host, row.port, "u", "p") != nullptr, row.made)
            << row.host.value_or("<nil>") << ":" << row.port;
        EXPECT_EQ(Config::messageRelayConfigurationWithHostname(row.host, row.port, "u", "p") != nullptr, row.made);
    }
    auto relay = Config::messageRelayConfigurationWithHostname("relay.test", 443, std::nullopt, std::nullopt);
    ASSERT_TRUE(relay);
    EXPECT_EQ(relay->proxyConfigType(), Config::kMessageRelayConfiguration);
    EXPECT_FALSE(relay->proxyUsername().has_value());
}

TEST(NRVURLBrokerConfiguration, ProxyDictionaryPerType) {
    namespace K = NRVProxyDictionaryKeys;
    EXPECT_FALSE(Config::systemConfiguration()->proxyConfiguration());
    EXPECT_FALSE(Config::defaultConfiguration()->proxyConfiguration());
    auto direct = Config::noProxyConfiguration()->proxyConfiguration();
    ASSERT_TRUE(direct);
    EXPECT_TRUE(direct->empty());

    for (auto made : {Config::customConfigurationWithProxy("proxy.test", 3128, "u", "p"),
                      Config::messageRelayConfigurationWithHostname("proxy.test", 3128, "u", "p")}) {
        auto d = made->proxyConfiguration();
        ASSERT_TRUE(d);
        EXPECT_EQ(d->keys(), (std::vector<std::string>{K::kHTTPEnable, K::kHTTPProxy, K::kHTTPPort, K::kHTTPSEnable,
                                                       K::kHTTPSProxy, K::kHTTPSPort}));
        EXPECT_EQ(*d->find(K::kHTTPEnable), NRVValue(1));
        EXPECT_EQ(*d->find(K::kHTTPSProxy), NRVValue("proxy.test"));
        EXPECT_EQ(*d->find(K::kHTTPSPort), NRVValue(3128));
    }
}

TEST(NRVURLBrokerConfiguration, ReportMasksThePassword) {
    EXPECT_EQ(Config::initWithType(3)->description(),
              "{address : , port : 0, username : , password : <password>, proxyConfig : 3}");
    auto noUser = Config::customConfigurationWithProxy("proxy.test", 8080, std::nullopt, "secret");
    EXPECT_EQ(noUser->description(), "{address : proxy.test, port : 8080, proxyConfig : 2}");
    auto full = Config::customConfigurationWithProxy("proxy.test", 8080, "alice", "secret");
    EXPECT_EQ(full->description().find("secret"), std::string::npos);
    EXPECT_NE(full->description().find("password : <password>"), std::string::npos);
}

TEST(NRVURLBrokerConfiguration, ArchiveKeepsFieldsAndClearsFlags) {
    auto c = Config::messageRelayConfigurationWithHostname("relay.test", 8443, "bob", "pw");
    c->setDiscardIfInvalid(true);
    c->setEnableSmartReset(true);
    NRVDictionary coder;
    c->encodeWithCoder(coder);
    EXPECT_EQ(coder.keys(), (std::vector<std::string>{"address", "port", "username", "password", "proxyConfig"}));

    auto back = Config::unarchivedFromData(c->archivedData());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->proxyHostname(), "relay.test");
    EXPECT_EQ(back->proxyPort(), 8443u);
    EXPECT_EQ(back->proxyUsername(), "bob");
    EXPECT_EQ(back->proxyPassword(), "pw");
    EXPECT_EQ(back->proxyConfigType(), Config::kMessageRelayConfiguration);
    EXPECT_FALSE(back->discardIfInvalid());
    EXPECT_FALSE(back->enableSmartReset());

    // Absent strings stay nil; a string key holding a number, or a negative
    // port, is refused.
    NRVDictionary sparse;
    sparse.set("proxyConfig", 3);
    auto decoded = Config::initWithCoder(sparse);
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->proxyHostname().has_value());
    NRVDictionary wrongKind;
    wrongKind.set("address", 5);
    EXPECT_FALSE(Config::initWithCoder(wrongKind));
    NRVDictionary negative;
    negative.set("port", -1);
    EXPECT_FALSE(Config::initWithCoder(negative));
    EXPECT_FALSE(Config::unarchivedFromData(NRVData{'x'}));
}

}  // namespace
