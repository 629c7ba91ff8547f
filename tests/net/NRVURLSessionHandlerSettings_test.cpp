#include <gtest/gtest.h>

#include <chrono>

#include "BrokerTestSupport.h"
#include "fakes/FakeServiceFixture.h"
#include "net/NRVURLSessionHandler.h"
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

// The handler reads the relay list and the custom proxy from the settings
// service, and a default broker's container is built from them.
TEST_F(NRVURLSessionHandlerSettings, RoutesComeFromTheSettingsService) {
    ASSERT_GT(startRole("broker"), 0);
    ASSERT_GT(startRole("settings", {"--seed=" + writeSeed()}), 0);
    auto handler = NRVURLSessionHandler::create();
    // The connection may take longer than the set-up's wait (a loaded or
    // instrumented run); the handler reads the settings once it connects.
    handler->configSettingsChanged(nullptr);
    ASSERT_TRUE(brokertest::eventually([&] { return handler->internalConfiguration().customProxyConfiguration != nullptr; }));
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
