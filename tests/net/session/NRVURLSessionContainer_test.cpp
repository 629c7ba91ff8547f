#include "net/session/NRVURLSessionContainer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <thread>

#include "net/session/NRVURLSessionHandler.h"
#include "platform/log/LogStore.h"

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

// A route whose reset completes on a thread of its own, which first calls
// back into the container, as an engine that finishes resets on its own
// thread and reports to the broker would.
class CallingBackSession : public platform::http::Session {
public:
    explicit CallingBackSession(std::function<void()> callBack) : callBack_(std::move(callBack)) {}
    const platform::http::ProxyRoute& route() const override { return route_; }
    void reset(std::function<void()> done) override {
        // Detached: with the fault the thread stays blocked on the container's lock.
        std::thread([callBack = callBack_, done = std::move(done)] {
            callBack();
            done();
        }).detach();
    }
    std::vector<platform::http::Cookie> cookiesForURL(const std::string&) override { return {}; }
    void finishTasksAndInvalidate() override {}
    bool isInvalidated() const override { return false; }

private:
    std::function<void()> callBack_;
    platform::http::ProxyRoute route_;
};

class CallingBackEngine : public platform::http::Engine {
public:
    explicit CallingBackEngine(std::function<void()> callBack) : callBack_(std::move(callBack)) {}
    std::shared_ptr<platform::http::Session> createSession(const platform::http::ProxyRoute&) override {
        return std::make_shared<CallingBackSession>(callBack_);
    }
    std::shared_ptr<platform::http::Transfer> start(const std::shared_ptr<platform::http::Session>&,
                                                    platform::http::Request, platform::http::TransferDelegate,
                                                    platform::http::ServerTrustHook) override {
        return nullptr;
    }
    std::unique_ptr<platform::http::StreamConnection> openStream(const std::shared_ptr<platform::http::Session>&,
                                                                 const std::string&,
                                                                 const std::optional<platform::http::Credentials>&,
                                                                 long, platform::http::ServerTrustHook,
                                                                 platform::http::TransferResult*) override {
        return nullptr;
    }
    void setSystemProxyResolver(std::function<std::optional<platform::http::ProxyRoute>(const std::string&)>) override {}
    void dispatch(const std::shared_ptr<platform::dispatch::DispatchQueue>& queue,
                  platform::dispatch::Block block) override {
        queue->async(std::move(block));
    }

private:
    std::function<void()> callBack_;
};

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

// Every line about a session names it by this text.
TEST(NRVURLSession, HashTextIsSixteenUpperCaseHexDigits) {
    const std::pair<std::uint64_t, const char*> rows[] = {
        {0, "0000000000000000"}, {0xAB, "00000000000000AB"}, {0x0123456789ABCDEFull, "0123456789ABCDEF"},
        {~0ull, "FFFFFFFFFFFFFFFF"}};
    for (const auto& [hash, text] : rows) EXPECT_EQ(NRVURLSession::hashText(hash), text);
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

// Smart reset: a success resets every session after the one that worked,
// each once, unless that one had already worked last; a failure with a next
// session resets the failed one only when it was the last to work. Which
// sessions were reset shows in their reset lines.
TEST(NRVURLSessionContainer, SmartResetResetsExactlyTheNamedSessions) {
    auto capture = std::make_shared<platform::log::CaptureSink>();
    platform::log::setSink(capture);
    struct ResetSink {
        ~ResetSink() { platform::log::setSink(nullptr); }
    } resetSink;
    auto handler = NRVURLSessionHandler::createDetached();
    handler->configFromBootstrapper(bootstrap());
    auto configuration = NRVURLBrokerConfiguration::defaultConfiguration();
    configuration->setEnableSmartReset(true);
    auto container = containerOf(*handler, configuration);
    ASSERT_TRUE(container->enableSmartReset());
    const auto sessions = container->sessions();
    ASSERT_EQ(sessions.size(), 5u);  // relay 1, relay 2, custom proxy, system, direct
    auto stranger = std::make_shared<NRVURLSession>(handler->engine(), NRVURLBrokerConfiguration::noProxyConfiguration());
    std::map<std::string, int> indexOfLine;
    for (int i = 0; i < 5; ++i) indexOfLine["Session " + sessions[i]->hashText() + " reset"] = i;
    indexOfLine["Session " + stranger->hashText() + " reset"] = -1;

    enum Op { kSuccess, kFailure };
    constexpr int kNone = -2;
    struct Step {
        const char* name;
        Op op;
        int session;  // -1: a session the container does not hold
        std::vector<int> reset;
        int next = kNone;
    } steps[] = {
        {"success on 1 resets those after it", kSuccess, 1, {2, 3, 4}},
        {"success on 1 again", kSuccess, 1, {}},
        {"failure on 3, not the last to work", kFailure, 3, {}, 4},
        {"failure on 1, the last to work", kFailure, 1, {1}, 2},
        {"success on 3", kSuccess, 3, {4}},
        {"success on the last session", kSuccess, 4, {}},
        {"failure on the last session", kFailure, 4, {}, kNone},
        {"success on 0 resets all others", kSuccess, 0, {1, 2, 3, 4}},
        {"success on a stranger", kSuccess, -1, {}},
        {"failure on 0, no longer the last to work", kFailure, 0, {}, 1},
        {"success on 0 once more", kSuccess, 0, {1, 2, 3, 4}},
    };
    for (const Step& step : steps) {
        capture->clear();
        const NRVURLSessionRef& session = step.session < 0 ? stranger : sessions[step.session];
        if (step.op == kSuccess) {
            container->reportSuccessForSession(session);
        } else {
            NRVURLSessionRef next = container->nextSession(session);
            EXPECT_EQ(next, step.next == kNone ? nullptr : sessions[step.next]) << step.name;
        }
        std::vector<int> reset;
        for (const auto& record : capture->records()) {
            auto it = indexOfLine.find(record.message);
            if (record.category == "session" && it != indexOfLine.end()) reset.push_back(it->second);
        }
        std::sort(reset.begin(), reset.end());
        EXPECT_EQ(reset, step.reset) << step.name;
    }
    // Resetting keeps the sessions and their order.
    EXPECT_EQ(container->sessions(), sessions);
}

// Smart reset waits for the resets it starts; a reset that completes on
// another thread after calling into the container must not find the
// container's lock held by the waiter (that would hang both for good).
TEST(NRVURLSessionContainer, ResetCompletingOnAnotherThreadMayCallIn) {
    auto configuration = NRVURLBrokerConfiguration::systemConfiguration();
    configuration->setEnableSmartReset(true);
    auto container = std::make_shared<NRVURLSessionContainer>(configuration);
    std::weak_ptr<NRVURLSessionContainer> weak = container;
    std::atomic<int> callIns{0};
    auto engine = std::make_shared<CallingBackEngine>([weak, &callIns] {
        if (auto held = weak.lock()) held->sessions();
        ++callIns;
    });
    std::vector<NRVURLSessionRef> sessions;
    for (int i = 0; i < 3; ++i) {
        sessions.push_back(std::make_shared<NRVURLSession>(engine, configuration));
        container->addSession(sessions.back(), configuration);
    }
    // Detached, as the resets are: with the fault this thread hangs for good.
    auto promise = std::make_shared<std::promise<NRVURLSessionRef>>();
    auto done = promise->get_future();
    std::thread([container, sessions, promise] {
        container->reportSuccessForSession(sessions[0]);        // resets sessions 1 and 2
        promise->set_value(container->nextSession(sessions[0]));  // resets session 0, the last to work
    }).detach();
    // Generous for a loaded machine; with the fault it never becomes ready.
    ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "a reset's call into the container waited on a lock held by the one waiting for the reset";
    EXPECT_EQ(done.get(), sessions[1]);
    EXPECT_EQ(callIns.load(), 3);
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
