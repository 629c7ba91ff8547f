#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>

#include "net/BrokerTestSupport.h"
#include "fakes/FakeServiceFixture.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "net/session/NRVURLSessionHandler.h"
#include "settings-client/NRVConfigXPCProtocol.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;

namespace {

class NRVURLSessionHandlerSettings : public FakeServiceFixture {
protected:
    std::string writeSeed() {
        const std::string path = runtimeRoot() + "/seed.plist";
        testsupport::writeText(path, R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>1</key><dict>
    <key>NRVMcsMessageRelaysToUse</key><array>
      <dict><key>MessageRelayAddress</key><string>relay1.example</string><key>MessageRelayPort</key><integer>8001</integer></dict>
      <dict><key>MessageRelayAddress</key><string>relay2.example</string><key>MessageRelayPort</key><integer>8002</integer></dict>
    </array>
  </dict>
  <key>2</key><dict>
    <key>ProxyConfiguration</key><dict>
      <key>ProxyURL</key><string>proxy.example</string><key>ProxyPort</key><integer>3128</integer>
      <key>ProxyUserName</key><string>user</string><key>ProxyPassword</key><string>secret</string>
    </dict>
  </dict>
</dict></plist>
)");
        return path;
    }
};

}  // namespace

namespace {

NRVDictionary relays() {
    NRVDictionary relay;
    relay.set("MessageRelayAddress", "relay3.example");
    relay.set("MessageRelayPort", 8003);
    NRVDictionary d;
    d.set("NRVMcsMessageRelaysToUse", NRVArray{relay});
    return d;
}

// Reads both settings until `done` holds. A read whose answer is later than
// its 500 ms limit fails and keeps what was there, and on a loaded machine
// the connection, too, may stand only after the handler's first read, so one
// read proves nothing; the first read that is answered in time does.
bool readsUntil(NRVURLSessionHandler& handler, const std::function<bool()>& done) {
    return testsupport::waitUntil(
        [&] {
            if (done()) return true;
            handler.configSettingsChanged(nullptr);
            return done();
        },
        std::chrono::seconds(30));
}

}  // namespace

// The handler reads the relay list and the custom proxy from the settings
// service, and a default broker's container is built from them.
TEST_F(NRVURLSessionHandlerSettings, RoutesComeFromTheSettingsService) {
    ASSERT_GT(startRole("broker"), 0);
    ASSERT_GT(startRole("settings", {"--seed=" + writeSeed()}), 0);
    auto handler = NRVURLSessionHandler::create();
    ASSERT_TRUE(readsUntil(*handler, [&] {
        auto internal = handler->internalConfiguration();
        return internal.customProxyConfiguration && internal.messageRelayConfiguration.size() == 2;
    }));
    auto internal = handler->internalConfiguration();
    EXPECT_EQ(internal.customProxyConfiguration->proxyHostname().value_or(""), "proxy.example");
    EXPECT_EQ(internal.customProxyConfiguration->proxyPort(), 3128u);
    ASSERT_EQ(internal.messageRelayConfiguration.size(), 2u);
    EXPECT_EQ(internal.messageRelayConfiguration[1]->proxyHostname().value_or(""), "relay2.example");
    EXPECT_EQ(internal.messageRelayConfiguration[1]->proxyUsername().value_or(""), "user");

    handler->registerBroker("B", NRVURLBrokerConfiguration::defaultConfiguration());
    EXPECT_EQ(handler->containerForBroker("B")->sessions().size(), 5u);

    // A key that is neither a proxy key nor the relay list reads nothing.
    NRVDictionary other;
    other.set(NRVURLSessionHandler::kSettingsKeyModified, "SomethingElse");
    auto begin = std::chrono::steady_clock::now();
    handler->configSettingsChanged(&other);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 100ms);
}

// A settings service that never answers holds the caller 500 ms per read at
// most; the routes stay as they were.
TEST_F(NRVURLSessionHandlerSettings, ReadsAreBounded) {
    ASSERT_GT(startRole("broker"), 0);
    ASSERT_GT(startRole("settings", {"--never-reply"}), 0);
    // Before the connection stands a read fails at once for want of a proxy:
    // the bound shows only on reads the service receives. The set-up waits
    // for the connection and its own read of both keys; on a loaded machine
    // the connection may take longer than the set-up's usual wait.
    NRVURLSessionHandler::setSettingsConnectWaitForUnitTest(30s);
    struct RestoreWait {
        ~RestoreWait() { NRVURLSessionHandler::setSettingsConnectWaitForUnitTest(NRVURLSessionHandler::kSettingsConnectWait); }
    } restoreWait;
    auto begin = std::chrono::steady_clock::now();
    auto handler = NRVURLSessionHandler::create();
    auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 20s);
    // This read of both keys: 2 x 500 ms.
    begin = std::chrono::steady_clock::now();
    handler->configSettingsChanged(nullptr);
    elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 3s);
    EXPECT_TRUE(handler->customProxyConfig().isNull());
    EXPECT_TRUE(handler->messageRelayConfigs().isNull());
}

// A setting removed from the service is forgotten (a nil reply clears it)
// and the routes are rebuilt without it; a read that fails keeps it.
TEST_F(NRVURLSessionHandlerSettings, RemovedSettingsAreForgotten) {
    ASSERT_GT(startRole("broker"), 0);
    const pid_t settings = startRole("settings", {"--seed=" + writeSeed()});
    ASSERT_GT(settings, 0);
    auto handler = NRVURLSessionHandler::create();
    ASSERT_TRUE(readsUntil(*handler, [&] {
        auto internal = handler->internalConfiguration();
        return internal.customProxyConfiguration && internal.messageRelayConfiguration.size() == 2;
    }));
    handler->registerBroker("B", NRVURLBrokerConfiguration::defaultConfiguration());
    ASSERT_EQ(handler->containerForBroker("B")->sessions().size(), 5u);

    // Removed by another client of the service.
    NRVXPCClientHelper client;
    ASSERT_EQ(client.connectAndWaitForFirstConnectionForService(NRVURLSessionHandler::kSettingsService,
                                                                NRVConfigXPCProtocol::protocol(), 10),
              0);
    for (const auto& [type, key] : {std::pair<std::int64_t, const char*>{2, "ProxyConfiguration"},
                                    std::pair<std::int64_t, const char*>{1, "NRVMcsMessageRelaysToUse"}}) {
        auto removed = std::make_shared<std::promise<void>>();
        auto proxy = client.remoteObjectProxyForService(NRVURLSessionHandler::kSettingsService);
        ASSERT_TRUE(proxy);
        proxy->call(NRVConfigXPCProtocol::kRemoveObject, platform::xpc::Values{type, std::string(key)},
                    [removed](const platform::xpc::Values&) { removed->set_value(); });
        ASSERT_EQ(removed->get_future().wait_for(10s), std::future_status::ready) << key;
    }
    // Only a read that is answered clears: a failed one keeps both.
    ASSERT_TRUE(readsUntil(*handler, [&] {
        return handler->customProxyConfig().isNull() && handler->messageRelayConfigs().isNull();
    }));
    EXPECT_FALSE(handler->internalConfiguration().customProxyConfiguration);
    EXPECT_TRUE(handler->internalConfiguration().messageRelayConfiguration.empty());
    // The rebuilt container: system and direct only.
    EXPECT_EQ(handler->containerForBroker("B")->sessions().size(), 2u);

    // Set again, then the service goes: the failed reads keep what was read.
    handler->configFromBootstrapper(relays());
    ASSERT_EQ(handler->internalConfiguration().messageRelayConfiguration.size(), 1u);
    stopRole(settings);
    handler->configSettingsChanged(nullptr);
    EXPECT_EQ(handler->internalConfiguration().messageRelayConfiguration.size(), 1u);
}
