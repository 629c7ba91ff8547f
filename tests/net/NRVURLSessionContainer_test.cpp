#include "net/NRVURLSessionContainer.h"

#include <gtest/gtest.h>

#include "net/NRVURLSessionHandler.h"

namespace {

NRVDictionary relay(const std::string& host, long long port) {
    NRVDictionary d;
    d.set("MessageRelayAddress", host);
    d.set("MessageRelayPort", port);
    return d;
}

NRVDictionary bootstrap() {
    NRVDictionary proxy;
    proxy.set("ProxyURL", "proxy.example");
    proxy.set("ProxyPort", 3128);
    proxy.set("ProxyUserName", "user");
    proxy.set("ProxyPassword", "secret");
    NRVDictionary d;
    d.set("ProxyConfiguration", proxy);
    d.set("NRVMcsMessageRelaysToUse", NRVArray{relay("relay1.example", 8001), relay("relay2.example", 8002)});
    return d;
}

struct Route {
    std::uint64_t type;
    std::string host;
};

std::vector<Route> routesOf(NRVURLSessionContainer& container) {
    std::vector<Route> routes;
    for (const auto& session : container.sessions()) {
        auto c = container.findConfigurationForSession(session);
        routes.push_back({c->proxyConfigType(), c->proxyHostname().value_or("")});
    }
    return routes;
}

NRVURLSessionContainerRef containerOf(NRVURLSessionHandler& handler, NRVURLBrokerConfigurationRef configuration) {
    handler.registerBroker("B", std::move(configuration));
    return handler.containerForBroker("B");
}

}  // namespace

// The failover order: relays in settings order, custom proxy, system, direct.
TEST(NRVURLSessionContainer, RoutesInFailoverOrder) {
    auto handler = NRVURLSessionHandler::createDetached();
    handler->configFromBootstrapper(bootstrap());
    struct Case {
        const char* name;
        NRVURLBrokerConfigurationRef configuration;
        std::vector<std::uint64_t> types;
        std::vector<std::string> hosts;
    } cases[] = {
        {"direct", NRVURLBrokerConfiguration::noProxyConfiguration(), {3}, {""}},
        {"system", NRVURLBrokerConfiguration::systemConfiguration(), {0, 3}, {"", ""}},
        {"default", NRVURLBrokerConfiguration::defaultConfiguration(), {4, 4, 2, 0, 3},
         {"relay1.example", "relay2.example", "proxy.example", "", ""}},
        {"custom", NRVURLBrokerConfiguration::customConfigurationWithProxy("p.example", 1, "u", "p"), {2, 0, 3},
         {"p.example", "", ""}},
        {"relay", NRVURLBrokerConfiguration::messageRelayConfigurationWithHostname("r.example", 2, "u", "p"), {4, 0, 3},
         {"r.example", "", ""}},
        {"unknown type", NRVURLBrokerConfiguration::initWithType(7), {3}, {""}},
    };
    for (const Case& c : cases) {
        auto container = containerOf(*handler, c.configuration);
        ASSERT_TRUE(container) << c.name;
        auto routes = routesOf(*container);
        ASSERT_EQ(routes.size(), c.types.size()) << c.name;
        for (std::size_t i = 0; i < routes.size(); ++i) {
            EXPECT_EQ(routes[i].type, c.types[i]) << c.name << " #" << i;
            EXPECT_EQ(routes[i].host, c.hosts[i]) << c.name << " #" << i;
        }
    }
    // The relays take the custom proxy's credentials.
    auto container = containerOf(*handler, NRVURLBrokerConfiguration::defaultConfiguration());
    auto first = container->findConfigurationForSession(container->firstSession());
    EXPECT_EQ(first->proxyUsername().value_or(""), "user");
    EXPECT_EQ(first->proxyPassword().value_or(""), "secret");
}

TEST(NRVURLSessionContainer, DiscardAndEndOfList) {
    auto handler = NRVURLSessionHandler::createDetached();
    auto configuration = NRVURLBrokerConfiguration::customConfigurationWithProxy("p.example", 1, "u", "p");
    configuration->setDiscardIfInvalid(true);
    auto container = containerOf(*handler, configuration);
    ASSERT_TRUE(container->discardInvalidSession());
    auto three = container->sessions();
    ASSERT_EQ(three.size(), 3u);

    EXPECT_EQ(container->nextSession(three[0]), three[1]);
    EXPECT_EQ(container->sessions(), (std::vector<NRVURLSessionRef>{three[1], three[2]}));
    EXPECT_FALSE(container->findConfigurationForSession(three[0]));
    // A late failure of the discarded session starts again at the top.
    EXPECT_EQ(container->nextSession(three[0]), three[1]);
    // The last session is never discarded; the list stays as it is.
    EXPECT_EQ(container->nextSession(three[2]), nullptr);
    EXPECT_EQ(container->sessions().size(), 2u);

    auto plain = containerOf(*handler, NRVURLBrokerConfiguration::systemConfiguration());
    auto two = plain->sessions();
    EXPECT_EQ(plain->nextSession(two[0]), two[1]);
    EXPECT_EQ(plain->nextSession(two[1]), nullptr);
    EXPECT_EQ(plain->sessions(), two);
}

TEST(NRVURLSessionContainer, ProxyDetailsNeverHoldThePassword) {
    auto handler = NRVURLSessionHandler::createDetached();
    auto container =
        containerOf(*handler, NRVURLBrokerConfiguration::customConfigurationWithProxy("p.example", 8080, "u", "pw"));
    auto sessions = container->sessions();
    NRVDictionary custom = container->proxyDetailsForSession(sessions[0]);
    EXPECT_EQ(*custom.find("proxyUsageDescription")->asString(), "p.example:8080, username: 'u' ");
    EXPECT_EQ(*custom.find("brokerConfigType")->asInteger(), 2);
    const NRVValue* details = custom.find("customProxyDetails");
    ASSERT_TRUE(details && details->isDictionary());
    EXPECT_EQ(*(*details)["proxyAddress"]->asString(), "p.example:8080");
    EXPECT_EQ(*(*details)["proxyPort"]->asInteger(), 8080);
    EXPECT_FALSE((*details)["proxyPassword"]);

    EXPECT_EQ(*container->proxyDetailsForSession(sessions[1]).find("proxyUsageDescription")->asString(),
              "Using system settings");
    NRVDictionary direct = container->proxyDetailsForSession(sessions[2]);
    EXPECT_EQ(*direct.find("proxyUsageDescription")->asString(), "No proxy used");
    EXPECT_EQ(*direct.find("brokerConfigType")->asInteger(), 3);
    auto stranger = std::make_shared<NRVURLSession>(handler->engine(), NRVURLBrokerConfiguration::noProxyConfiguration());
    NRVDictionary unknown = container->proxyDetailsForSession(stranger);
    EXPECT_EQ(*unknown.find("proxyUsageDescription")->asString(), "Using system settings");
    EXPECT_EQ(*unknown.find("brokerConfigType")->asInteger(), 0);
}

TEST(NRVURLSessionContainer, SmartResetAndTaskBookkeeping) {
    auto handler = NRVURLSessionHandler::createDetached();
    auto configuration = NRVURLBrokerConfiguration::systemConfiguration();
    configuration->setEnableSmartReset(true);
    auto container = containerOf(*handler, configuration);
    auto sessions = container->sessions();
    container->reportSuccessForSession(sessions[0]);
    EXPECT_EQ(container->nextSession(sessions[0]), sessions[1]);  // resets the last good one without hanging
    auto task = std::make_shared<NRVURLSessionTask>(NRVURLSessionTask::Kind::kData, NRVURLRequest("http://x/"), sessions[0]);
    container->addTask(task);
    EXPECT_TRUE(container->hasTask(task.get()));
    task.reset();
    EXPECT_FALSE(container->hasTask(nullptr));
}

// Reuse means an item that was replaced for its key and comes back.
TEST(NRVURLSessionHandlerCookies, ReuseDetector) {
    // The detector's tables live for the process: a key of its own per run.
    static int run = 0;
    const std::string key = "host-" + std::to_string(++run);
    struct Step {
        std::optional<std::string> item;
        bool reused;
    } steps[] = {{std::nullopt, false}, {"a", false}, {"a", false}, {"b", false}, {"c", false}, {"a", true}, {"a", false},
                 {"b", true}};
    int i = 0;
    for (const Step& step : steps) {
        EXPECT_EQ(NRVURLSessionHandler::detectItemReuse(step.item, key, "test", "cookie"), step.reused) << "step " << i;
        ++i;
    }
}
