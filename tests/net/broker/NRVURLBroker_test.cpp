#include "net/broker/NRVURLBroker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <regex>

#include "net/BrokerTestSupport.h"
#include "ipc/notify/NRVDistributedNotification.h"
#include "platform/log/LogStore.h"
#include "support/ChildProcess.h"

using namespace std::chrono_literals;
using testsupport::LocalServers;

namespace {

using brokertest::Environment;

struct Reply {
    std::shared_ptr<NRVURLResponse> response;
    std::optional<NRVData> data;
    std::string text() const { return data ? std::string(data->begin(), data->end()) : ""; }
};

Reply dataRequest(NRVURLBroker& broker, NRVURLRequest request, std::chrono::seconds limit = 60s) {
    auto promise = std::make_shared<std::promise<Reply>>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    broker.dataWithRequest(request, [promise, calls](std::shared_ptr<NRVURLResponse> r, std::optional<NRVData> d) {
        if (calls->fetch_add(1) == 0) promise->set_value({std::move(r), std::move(d)});
    });
    auto future = promise->get_future();
    if (future.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "no reply for " << request.URL;
        return {};
    }
    Reply reply = future.get();
    // A second reply would follow the first at once; a short bound, as this
    // waits for something that must not happen.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls->load(), 1) << "the reply must come exactly once";
    return reply;
}

NRVURLRequest get(const std::string& url, double timeout = 20) {
    NRVURLRequest request(url);
    request.timeoutInterval = timeout;
    return request;
}

NRVDictionary relays(std::initializer_list<int> ports) {
    NRVArray list;
    for (int port : ports) {
        NRVDictionary relay;
        relay.set("MessageRelayAddress", "127.0.0.1");
        relay.set("MessageRelayPort", port);
        list.push_back(relay);
    }
    NRVDictionary d;
    d.set("NRVMcsMessageRelaysToUse", list);
    return d;
}

std::int64_t errorCode(const NRVURLSessionResult& attempt) { return attempt.error ? attempt.error->code : 0; }

const NRVURLAuthenticationHandler& stock() { return NRVURLBrokerConfiguration::defaultHTTPSChallengeHandler(); }

}  // namespace

// A dead relay fails over to the next route; both attempts are on record,
// in order, the first with its reason.
TEST(NRVURLBroker, DeadFirstRouteFailsOverWithBothAttemptsRecorded) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    brokertest::TestHandler handler;
    handler->setSelfReportMessageRelayErrors(true);
    const int dead = LocalServers::deadPort();
    handler->configFromBootstrapper(relays({dead}));
    NRVURLBroker broker(handler);
    broker.startWithAuthHandler(stock());

    auto begin = std::chrono::steady_clock::now();
    Reply reply = dataRequest(broker, get(servers->httpsURL("/status/200")));
    auto elapsed = std::chrono::steady_clock::now() - begin;
    ASSERT_TRUE(reply.response);
    auto attempts = reply.response->resultOfSessions();
    ASSERT_EQ(attempts.size(), 2u) << reply.response->description();
    EXPECT_EQ(attempts[0].proxyUsageDescription, "127.0.0.1:" + std::to_string(dead) + ", username: '(null)' ");
    EXPECT_EQ(attempts[0].brokerConfigType, NRVValue(4));
    EXPECT_EQ(errorCode(attempts[0]), -1004);
    EXPECT_EQ(attempts[0].statusCode, 0);
    EXPECT_EQ(attempts[0].httpStatusSuccess, 0);
    EXPECT_EQ(attempts[1].proxyUsageDescription, "Using system settings");
    EXPECT_EQ(attempts[1].statusCode, 200);
    EXPECT_EQ(attempts[1].httpStatusSuccess, 1);
    EXPECT_EQ(reply.text(), "status 200");
    EXPECT_LT(elapsed, 10s);

    // With self-reporting on, the dead relay is gone after the rebuild.
    handler->drainForUnitTest();
    EXPECT_TRUE(handler->messageRelayConfigs().isNull());
    EXPECT_EQ(handler->containerForBroker(broker.brokerID())->sessions().size(), 2u);
}

// The system route takes the machine's proxy (here a dead one, so the
// request falls to the direct route), except for a host that the exceptions
// list names exactly, by its domain, or with "*".
TEST(NRVURLBroker, SystemRouteKeepsTheProxyExceptions) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    brokertest::TestHandler handler;
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::systemConfiguration(), nullptr);
    const std::string dead = std::to_string(LocalServers::deadPort());
    struct Case {
        const char* exceptions;
        bool viaProxy;
    } cases[] = {
        {"", true},
        {"<string>*.example.org</string><string>localhost</string><string>7.0.0.1</string>", true},
        {"<string>127.0.0.1</string>", false},
        {"<string>.0.0.1</string>", false},
        {"<string>*.0.0.1</string>", false},
        {"<string>*</string>", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exceptions);
        testsupport::writeText(environment.root() + "/network/proxy.plist",
                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                               "<key>HTTPEnable</key><integer>1</integer><key>HTTPProxy</key><string>127.0.0.1</string>"
                               "<key>HTTPPort</key><integer>" + dead + "</integer><key>ExceptionsList</key><array>" +
                                   c.exceptions + "</array></dict></plist>\n");
        Reply reply = dataRequest(broker, get(servers->httpURL("/status/200")));
        ASSERT_TRUE(reply.response);
        auto attempts = reply.response->resultOfSessions();
        ASSERT_EQ(attempts.size(), c.viaProxy ? 2u : 1u) << reply.response->description();
        EXPECT_EQ(attempts[0].proxyUsageDescription, "Using system settings");
        if (c.viaProxy) {
            EXPECT_EQ(errorCode(attempts[0]), -1004);
        }
        EXPECT_EQ(attempts.back().statusCode, 200);
    }
}

// With self-reporting off, every failed attempt on a relay is announced to
// the processes that subscribed, with the relay's host, and the relay stays.
class NRVURLBrokerRelayFailure : public FakeServiceFixture {
protected:
    void SetUp() override {
        FakeServiceFixture::SetUp();
        ASSERT_GT(startRole("broker"), 0);
        ASSERT_GT(startRole("map-updater", {"--record=" + runtimeRoot() + "/updater.txt"}), 0);
    }
};

TEST_F(NRVURLBrokerRelayFailure, AnnouncedWhenNotSelfReported) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    const std::string name = NRVURLSessionHandler::kMessageRelayFailureNotification;
    // The first notification to each receiving process opens the connection
    // to it; on a loaded machine that may take longer than the usual wait,
    // and the notification would be lost.
    NRVDistributedNotificationMap::setTargetConnectWaitForUnitTest(std::chrono::seconds(30));
    struct RestoreWait {
        ~RestoreWait() {
            NRVDistributedNotificationMap::setTargetConnectWaitForUnitTest(NRVDistributedNotificationMap::kTargetConnectWait);
        }
    } restoreWait;
    testsupport::ChildProcess subscriber({std::string(NRV_BIN_DIR) + "/nrv-payload-subscriber", "--name=" + name});
    ASSERT_TRUE(subscriber.waitForLine("READY", 30s));
    // This process learns of the subscriber from the map updater.
    ASSERT_TRUE(brokertest::eventually([&] {
        auto map = NRVDistributedNotification::sharedNotificationMap()->notificationMapForUnitTest();
        return map && map->count(name) && !map->at(name).empty();
    }));
    brokertest::TestHandler handler;
    ASSERT_FALSE(handler->selfReportMessageRelayErrors());
    handler->configFromBootstrapper(relays({LocalServers::deadPort()}));
    NRVURLBroker broker(handler);
    broker.startWithAuthHandler(stock());

    for (int round = 0; round < 2; ++round) {
        Reply reply = dataRequest(broker, get(servers->httpURL("/status/200")));
        ASSERT_TRUE(reply.response) << round;
        EXPECT_EQ(reply.response->resultOfSessions().size(), 2u) << round;
        EXPECT_EQ(reply.text(), "status 200") << round;
        EXPECT_EQ(subscriber.readLine(30s).value_or("<nothing>"), name + "|127.0.0.1") << round;
    }
    handler->drainForUnitTest();
    ASSERT_TRUE(handler->messageRelayConfigs().asArray());
    EXPECT_EQ(handler->messageRelayConfigs().asArray()->size(), 1u);
    EXPECT_EQ(handler->containerForBroker(broker.brokerID())->sessions().size(), 3u);
}

TEST(NRVURLBroker, EveryRouteFailingGivesOneEntryPerRoute) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    brokertest::TestHandler handler;
    handler->setSelfReportMessageRelayErrors(true);
    handler->configFromBootstrapper(relays({LocalServers::deadPort(), LocalServers::deadPort()}));
    NRVURLBroker broker(handler);
    broker.startWithAuthHandler(stock());
    Reply reply = dataRequest(broker, get("http://127.0.0.1:" + std::to_string(LocalServers::deadPort()) + "/"));
    auto attempts = reply.response->resultOfSessions();
    ASSERT_EQ(attempts.size(), 4u);
    const std::int64_t types[] = {4, 4, 0, 3};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(attempts[i].brokerConfigType, NRVValue(static_cast<long long>(types[i]))) << i;
        EXPECT_EQ(errorCode(attempts[i]), -1004) << i;
    }
    EXPECT_FALSE(reply.data);
}

// The proxy's 407 is answered with the configured credentials; a wrong
// password is answered once, then the refusal stays on record.
TEST(NRVURLBroker, ProxyCredentialsComeFromTheConfiguration) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    brokertest::TestHandler handler;
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::customConfigurationWithProxy(
                                      "127.0.0.1", static_cast<std::uint64_t>(servers->proxyPort),
                                      LocalServers::kProxyUser, LocalServers::kProxyPassword),
                                  stock());
    Reply good = dataRequest(broker, get(servers->httpsURL("/status/200")));
    auto attempts = good.response->resultOfSessions();
    ASSERT_EQ(attempts.size(), 1u) << good.response->description();
    EXPECT_EQ(attempts[0].brokerConfigType, NRVValue(2));
    EXPECT_EQ(attempts[0].statusCode, 200);

    broker.updateConfiguration(NRVURLBrokerConfiguration::customConfigurationWithProxy(
        "127.0.0.1", static_cast<std::uint64_t>(servers->proxyPort), LocalServers::kProxyUser, "wrong"));
    for (const std::string& url : {servers->httpsURL("/status/200"), servers->httpURL("/status/200")}) {
        Reply refused = dataRequest(broker, get(url));
        attempts = refused.response->resultOfSessions();
        // The proxy route is refused, the system route (direct here) succeeds.
        ASSERT_EQ(attempts.size(), 2u) << url << " " << refused.response->description();
        if (url.rfind("https", 0) == 0) {
            EXPECT_EQ(attempts[0].statusCode, 407) << url;
            EXPECT_EQ(errorCode(attempts[0]), -1012) << url;
        } else {
            // tinyproxy answers a wrong password for a forwarded request with 401.
            EXPECT_EQ(attempts[0].statusCode, 401) << url;
        }
        EXPECT_EQ(attempts[0].httpStatusSuccess, 0);
        EXPECT_EQ(attempts[1].statusCode, 200) << url;
    }
}

TEST(NRVURLBroker, ServerTrustOnlyThroughTheAnchors) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    brokertest::TestHandler handler;
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), stock());
    Reply accepted = dataRequest(broker, get(servers->httpsURL("/status/200")));
    EXPECT_EQ(accepted.response->finalResponse()->statusCode, 200);

    Reply refused = dataRequest(broker, get(servers->untrustedURL("/status/200")));
    auto attempts = refused.response->resultOfSessions();
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(errorCode(attempts[0]), -1202);
    EXPECT_EQ(attempts[0].error->domain, "NSURLErrorDomain");
    // The challenge handler's evaluation says why.
    EXPECT_EQ(attempts[0].error->localizedFailureReason.value_or(""), "unable to get local issuer certificate (depth 0)");
    EXPECT_FALSE(attempts[0].responses);

    // Without a challenge handler no server is trusted.
    NRVURLBroker bare(handler);
    bare.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);
    EXPECT_EQ(errorCode(dataRequest(bare, get(servers->httpsURL("/status/200"))).response->resultOfSessions()[0]), -1202);
}

// Broken answers fail the attempt with their own error; none is success.
TEST(NRVURLBroker, BrokenAnswersAreFailures) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    brokertest::TestHandler handler;
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), stock());
    struct Case {
        const char* path;
        double timeout;
        std::int64_t code;
    } cases[] = {
        {"/bad-length", 20, -1005},
        {"/cut-chunked", 20, -1005},
        {"/drop", 20, -1005},
        {"/big-headers", 20, -1103},
        // Under the 256 KiB limit only when lines that begin like a status
        // line were taken for the start of a new head.
        {"/status-line-headers", 20, -1103},
        {"/conflicting-length", 20, -1011},
        {"/redirect?to=ftp://127.0.0.1/file", 20, -1002},
        {"/stall", 1, -1001},
    };
    for (const Case& c : cases) {
        Reply reply = dataRequest(broker, get(servers->httpURL(c.path), c.timeout));
        auto final = reply.response->finalResponse();
        ASSERT_TRUE(final) << c.path;
        EXPECT_EQ(errorCode(*final), c.code) << c.path << " " << reply.response->description();
        EXPECT_EQ(final->httpStatusSuccess, 0) << c.path;
        EXPECT_FALSE(reply.data) << c.path;
    }
    Reply notFound = dataRequest(broker, get(servers->httpURL("/status/404")));
    EXPECT_EQ(notFound.response->finalResponse()->statusCode, 404);
    EXPECT_EQ(notFound.response->finalResponse()->httpStatusSuccess, 0);
    EXPECT_FALSE(notFound.response->finalResponse()->error);
}

// A data task holds at most its limit of a body (decoded), whether the
// server announced no length or sent a small compressed body that decodes
// to much more; a download writes past that limit to its file, up to the
// limit on what a compressed body may decode to.
TEST(NRVURLBroker, BodiesPastTheirLimitFailWithDataLengthExceedsMaximum) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    brokertest::TestHandler handler;
    handler->setBodyLimitsForUnitTest(1u << 20, 4u << 20);
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), stock());
    struct Case {
        const char* path;
        std::int64_t code;  // 0: the whole body arrives
        std::size_t size;
    } dataCases[] = {
        {"/unbounded/3000000", -1103, 0},
        {"/gzip-bomb/67108864", -1103, 0},
        {"/bytes/3000000", -1103, 0},
        {"/unbounded/1000000", 0, 1000000},
    };
    for (const Case& c : dataCases) {
        Reply reply = dataRequest(broker, get(servers->httpURL(c.path)));
        auto final = reply.response->finalResponse();
        ASSERT_TRUE(final) << c.path;
        EXPECT_EQ(errorCode(*final), c.code) << c.path << " " << reply.response->description();
        EXPECT_EQ(reply.data ? reply.data->size() : 0u, c.size) << c.path;
    }
    const Case downloadCases[] = {
        {"/unbounded/3000000", 0, 3000000},
        {"/gzip-bomb/2000000", 0, 2000000},
        {"/gzip-bomb/67108864", -1103, 0},
    };
    for (const Case& c : downloadCases) {
        auto promise = std::make_shared<std::promise<std::pair<std::int64_t, std::size_t>>>();
        broker.downloadWithRequest(get(servers->httpURL(c.path)), [promise](std::shared_ptr<NRVURLResponse> r) {
            auto final = r->finalResponse();
            std::string path = final && final->downloadedFileLocation ? *final->downloadedFileLocation : "";
            promise->set_value({final ? errorCode(*final) : 1, path.empty() ? 0 : testsupport::readText(path).size()});
        });
        auto future = promise->get_future();
        ASSERT_EQ(future.wait_for(60s), std::future_status::ready) << c.path;
        auto [code, size] = future.get();
        EXPECT_EQ(code, c.code) << c.path;
        EXPECT_EQ(size, c.size) << c.path;
    }
}

// A cancelled request ends: no other route is tried.
TEST(NRVURLBroker, CancellationEndsTheRequest) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    brokertest::TestHandler handler;
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::systemConfiguration(), stock());
    auto promise = std::make_shared<std::promise<std::shared_ptr<NRVURLResponse>>>();
    const int stalls = servers->stalls();
    broker.dataWithRequest(get(servers->httpURL("/stall"), 60),
                           [promise](std::shared_ptr<NRVURLResponse> r, std::optional<NRVData>) { promise->set_value(r); });
    ASSERT_TRUE(testsupport::waitUntil([&] { return servers->stalls() > stalls; }));
    broker.terminateAllTasks();
    auto future = promise->get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    auto attempts = future.get()->resultOfSessions();
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(errorCode(attempts[0]), -999);
}

TEST(NRVURLBroker, UnknownBrokerResolvesOnceWithTheError) {
    brokertest::TestHandler handler;
    NRVURLBroker broker(handler);  // never started
    Reply reply = dataRequest(broker, get("http://127.0.0.1:9/"));
    auto final = reply.response->finalResponse();
    ASSERT_TRUE(final);
    EXPECT_EQ(errorCode(*final), 1001);
    EXPECT_EQ(final->error->localizedDescription, "No URL session container found for broker '" + broker.brokerID() + "'");
    EXPECT_EQ(final->proxyUsageDescription, "Proxy unavailable: no session selected");
    EXPECT_EQ(final->brokerConfigType, NRVValue(3));
}

TEST(NRVURLBroker, UploadAndDownload) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    brokertest::TestHandler handler;
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), stock());

    NRVURLRequest put = get(servers->httpsURL("/upload/one.json"));
    put.HTTPMethod = "PUT";
    std::string body = "{\"k\":1}";
    auto uploaded = std::make_shared<std::promise<std::int64_t>>();
    broker.uploadWithRequest(put, NRVData(body.begin(), body.end()),
                             [uploaded](std::shared_ptr<NRVURLResponse> r, std::optional<NRVData>) {
                                 uploaded->set_value(r->finalResponse()->statusCode);
                             });
    auto status = uploaded->get_future();
    ASSERT_EQ(status.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(status.get(), 200);
    auto list = nlohmann::json::parse(dataRequest(broker, get(servers->httpURL("/uploads"))).text());
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.back()["path"], "/upload/one.json");
    EXPECT_EQ(list.back()["body"], body);

    auto downloaded = std::make_shared<std::promise<std::pair<std::string, std::size_t>>>();
    broker.downloadWithRequest(get(servers->httpURL("/bytes/100000")), [downloaded](std::shared_ptr<NRVURLResponse> r) {
        auto final = r->finalResponse();
        std::string path = final && final->downloadedFileLocation ? *final->downloadedFileLocation : "";
        downloaded->set_value({path, testsupport::readText(path).size()});
    });
    auto file = downloaded->get_future();
    ASSERT_EQ(file.wait_for(30s), std::future_status::ready);
    auto [path, size] = file.get();
    EXPECT_EQ(size, 100000u);
    handler->drainForUnitTest();
    EXPECT_FALSE(testsupport::exists(path)) << "the temporary download stays after the reply";
}

// The cookie lines after a request: names, hashes and the expiry date of a
// lasting cookie, with the warning from two cookies on; never a value.
TEST(NRVURLBroker, CookieLinesShowHashesAndExpiryButNeverTheValue) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    auto capture = std::make_shared<platform::log::CaptureSink>();
    platform::log::setSink(capture);
    brokertest::TestHandler handler;
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), stock());
    dataRequest(broker, get(servers->httpURL("/set-cookie")));
    dataRequest(broker, get(servers->httpURL("/other/page")));
    handler->drainForUnitTest();
    platform::log::setSink(nullptr);

    const std::regex expiry(" - HTTP cookie - [0-9a-f]{64} expiry date: \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}$");
    const std::regex requestLine("^TID \\d+ Q [^ ]+ - HTTP cookie - request URL: 127\\.0\\.0\\.1$");
    const std::regex oneCookie("^TID \\d+ Q [^ ]+ - HTTP cookie - count for request URL: 1$");
    int counts = 0, warnings = 0, expiries = 0, named = 0, requestLines = 0, single = 0;
    for (const auto& record : capture->records()) {
        const std::string& m = record.message;
        if (std::regex_search(m, requestLine)) ++requestLines;
        if (std::regex_search(m, oneCookie)) ++single;
        EXPECT_EQ(m.find("secret-value"), std::string::npos) << m;
        if (m.find(" - HTTP cookie - ") == std::string::npos) continue;
        if (m.find("count for request URL: ") != std::string::npos) ++counts;
        if (m.find(" - ** WARNING ** - count for request URL: 2") != std::string::npos) ++warnings;
        if (m.find(" name: pref, hash value: ") != std::string::npos &&
            m.find("session only: NO") != std::string::npos && m.find("expiry date: YES") != std::string::npos) {
            ++named;
        }
        if (std::regex_search(m, expiry)) ++expiries;
    }
    EXPECT_EQ(counts, 2);
    EXPECT_EQ(requestLines, 2);
    EXPECT_EQ(single, 1);
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(named, 1);
    EXPECT_EQ(expiries, 1);
}
