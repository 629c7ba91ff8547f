#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <utility>
#include <nlohmann/json.hpp>

#include "net/BrokerTestSupport.h"
#include "net/broker/NRVURLBroker.h"
#include "platform/log/LogStore.h"

using namespace std::chrono_literals;
using brokertest::Environment;
using brokertest::Recorder;
using testsupport::LocalServers;

namespace {

struct PushEvent {
    bool hasResponse = false;
    std::int64_t status = 0;
    std::string data;
    bool hasData = false;
    std::int64_t errorCode = 0;
    bool hasError = false;
};

NRVPushConnectionHandler pushRecorder(const std::shared_ptr<Recorder<PushEvent>>& recorder) {
    return [recorder](std::shared_ptr<NRVURLResponse> response, std::optional<NRVData> data, NRVErrorRef error) {
        PushEvent e;
        if (response && response->finalResponse()) {
            e.hasResponse = true;
            e.status = response->finalResponse()->statusCode;
        }
        if (data) {
            e.hasData = true;
            e.data.assign(data->begin(), data->end());
        }
        if (error) {
            e.hasError = true;
            e.errorCode = error->code;
        }
        recorder->add(e);
    };
}

struct SocketEvent {
    long code = 0;
    std::optional<std::string> text;
    std::optional<NRVData> data;
    std::int64_t errorCode = 0;
};

NRVWebSocketHandler socketRecorder(const std::shared_ptr<Recorder<SocketEvent>>& recorder) {
    return [recorder](long code, std::shared_ptr<NRVURLResponse>, std::optional<std::string> text,
                      std::optional<NRVData> data, NRVErrorRef error) {
        recorder->add({code, std::move(text), std::move(data), error ? error->code : 0});
    };
}

std::size_t countOf(const std::vector<SocketEvent>& events, long code) {
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [code](const auto& e) { return e.code == code; }));
}

NRVURLRequest get(const std::string& url, double timeout = 30) {
    NRVURLRequest request(url);
    request.timeoutInterval = timeout;
    return request;
}

std::string fetch(NRVURLBroker& broker, const std::string& url) {
    auto promise = std::make_shared<std::promise<std::string>>();
    broker.dataWithRequest(get(url), [promise](std::shared_ptr<NRVURLResponse>, std::optional<NRVData> d) {
        promise->set_value(d ? std::string(d->begin(), d->end()) : "");
    });
    auto future = promise->get_future();
    return future.wait_for(30s) == std::future_status::ready ? future.get() : "";
}

// A handler of the test's own that trims failed relays itself.
struct SelfReportingHandler : brokertest::TestHandler {
    SelfReportingHandler() { (*this)->setSelfReportMessageRelayErrors(true); }
};

}  // namespace

// Each event reaches the client as the server sent it; when the server ends
// the stream, the next route takes over, and after the last one the client
// hears of the end.
TEST(NRVURLBrokerPush, EventsAsSentAndReconnectOnTheNextRoute) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    SelfReportingHandler handler;
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::systemConfiguration(), nullptr);
    auto recorder = std::make_shared<Recorder<PushEvent>>();
    broker.connectToPushServer(get(servers->httpURL("/events/3?gap=100")), pushRecorder(recorder));
    ASSERT_TRUE(recorder->waitFor([](const auto& events) {
        return !events.empty() && !events.back().hasData && events.size() >= 9;
    })) << recorder->values().size();
    auto events = recorder->values();
    ASSERT_EQ(events.size(), 9u);
    for (int route = 0; route < 2; ++route) {
        const PushEvent& opened = events[route * 4];
        EXPECT_TRUE(opened.hasResponse && !opened.hasData && !opened.hasError) << route;
        EXPECT_EQ(opened.status, 200);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(events[route * 4 + 1 + i].data, "id: " + std::to_string(i) + "\ndata: event " + std::to_string(i) + "\n\n")
                << route << "/" << i;
        }
    }
    EXPECT_TRUE(events[8].hasResponse);
    EXPECT_FALSE(events[8].hasError);
    handler->drainForUnitTest();
    EXPECT_EQ(handler->sseState(), 3u);
}

TEST(NRVURLBrokerPush, BytesThatAreNotUTF8PassUnchanged) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    SelfReportingHandler handler;
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);
    auto recorder = std::make_shared<Recorder<PushEvent>>();
    broker.connectToPushServer(get(servers->httpURL("/events-bad-utf8")), pushRecorder(recorder));
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return events.size() >= 3; }));
    auto events = recorder->values();
    EXPECT_EQ(events[1].data, "data: \xff\xfe broken \xc3\n\n");
}

// A settings change tells the client with error 1; destroying the
// container (stop) closes the stream the server holds open.
TEST(NRVURLBrokerPush, SettingsChangeAndStopCloseTheStream) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    SelfReportingHandler handler;
    NRVURLBroker probe(handler);
    probe.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);

    auto recorder = std::make_shared<Recorder<PushEvent>>();
    broker.connectToPushServer(get(servers->httpURL("/events-hold")), pushRecorder(recorder));
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return events.size() >= 2; }));
    ASSERT_TRUE(brokertest::eventually([&] { return fetch(probe, servers->httpURL("/holds")) == "1"; }));
    handler->configFromBootstrapper(NRVDictionary{});  // empty: nothing changes
    NRVDictionary settings;
    settings.set("NRVMcsMessageRelaysToUse", NRVArray{});
    handler->configFromBootstrapper(settings);
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return events.back().hasError; }));
    EXPECT_EQ(recorder->values().back().errorCode, 1);
    handler->drainForUnitTest();
    EXPECT_EQ(handler->sseState(), 3u);
    EXPECT_TRUE(brokertest::eventually([&] { return fetch(probe, servers->httpURL("/holds")) == "0"; }));

    broker.connectToPushServer(get(servers->httpURL("/events-hold")), pushRecorder(recorder));
    ASSERT_TRUE(brokertest::eventually([&] { return fetch(probe, servers->httpURL("/holds")) == "1"; }));
    broker.stop();
    EXPECT_TRUE(brokertest::eventually([&] { return fetch(probe, servers->httpURL("/holds")) == "0"; }));
}

// Text and binary messages echo back, both sides' pings are answered, and a
// close from the server ends the socket cleanly; the ping timer goes with
// the last socket.
TEST(NRVURLBrokerWebSocket, EchoPingAndCleanClose) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    SelfReportingHandler handler;
    // The client takes a peer whose pong is a whole interval late for dead.
    handler->setPingIntervalForUnitTest(1.0);
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::systemConfiguration(), nullptr);

    auto early = std::make_shared<std::promise<std::int64_t>>();
    broker.send("too early", [early](NRVErrorRef error) { early->set_value(error ? error->code : 0); });
    EXPECT_EQ(early->get_future().get(), 1501);

    auto recorder = std::make_shared<Recorder<SocketEvent>>();
    broker.connectToWebSocketServer(get(servers->wsURL()), socketRecorder(recorder));
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return !events.empty(); }));
    ASSERT_EQ(recorder->values()[0].code, 1);
    EXPECT_TRUE(handler->hasPingTimer());

    const std::string unicode = "h\xc3\xa9llo \xe2\x82\xac";
    std::vector<std::string> sent = {"hello", unicode, std::string(70000, 'x'), "binary:raw bytes"};
    for (const auto& text : sent) {
        auto done = std::make_shared<std::promise<bool>>();
        broker.send(text, [done](NRVErrorRef error) { done->set_value(!error); });
        EXPECT_TRUE(done->get_future().get()) << text.substr(0, 10);
    }
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return countOf(events, 2) >= 4; }));
    auto events = recorder->values();
    EXPECT_EQ(events[1].text, std::optional<std::string>("hello"));
    EXPECT_EQ(events[2].text, std::optional<std::string>(unicode));
    EXPECT_EQ(events[3].text->size(), 70000u);
    ASSERT_TRUE(events[4].data);
    EXPECT_EQ(std::string(events[4].data->begin(), events[4].data->end()), "raw bytes");
    EXPECT_FALSE(events[4].text);

    // Across three ping rounds of each side nothing fails: the server
    // answers the client's pings and drops a client that leaves one of its
    // own unanswered. Asked "rounds", it tells how many of each it saw.
    auto rounds = [&]() -> std::pair<long, long> {
        const std::size_t replies = countOf(recorder->values(), 2);
        broker.send("rounds", nullptr);
        long answered = -1, pongs = -1;
        if (recorder->waitFor([replies](const auto& events) {
                return countOf(events, 2) > replies || countOf(events, 4) > 0;
            })) {
            const auto last = recorder->values().back();
            if (last.code == 2 && last.text) std::sscanf(last.text->c_str(), "rounds %ld %ld", &answered, &pongs);
        }
        return {answered, pongs};
    };
    EXPECT_TRUE(brokertest::eventually(
        [&] {
            const auto [answered, pongs] = rounds();
            return (answered >= 3 && pongs >= 3) || countOf(recorder->values(), 4) > 0;
        },
        60s));
    EXPECT_EQ(countOf(recorder->values(), 4), 0u);

    broker.send("close", nullptr);
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return countOf(events, 3) == 1; }));
    EXPECT_EQ(countOf(recorder->values(), 4), 0u);
    EXPECT_EQ(handler->webSocketTaskCount(), 0u);
    EXPECT_TRUE(brokertest::eventually([&] { return !handler->hasPingTimer(); }));
}

// Frames no server may send end the socket with the matching close code.
TEST(NRVURLBrokerWebSocket, BadFramesCloseWithTheRightCode) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    SelfReportingHandler handler;
    NRVURLBroker probe(handler);
    probe.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);
    struct Case {
        const char* kind;
        int code;
    } cases[] = {{"masked", 1002}, {"too-long", 1009}, {"long-control", 1002}};
    for (const Case& c : cases) {
        NRVURLBroker broker(handler);
        broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);
        auto recorder = std::make_shared<Recorder<SocketEvent>>();
        broker.connectToWebSocketServer(get(servers->badWebSocketURL(c.kind)),
                                        socketRecorder(recorder));
        ASSERT_TRUE(recorder->waitFor([](const auto& events) { return countOf(events, 4) == 1; })) << c.kind;
        EXPECT_EQ(recorder->values()[0].code, 1) << c.kind;
        // The failed socket left the ping list and took the timer with it.
        EXPECT_EQ(handler->webSocketTaskCount(), 0u) << c.kind;
        EXPECT_FALSE(handler->hasPingTimer()) << c.kind;
    }
    nlohmann::json codes;
    ASSERT_TRUE(brokertest::eventually([&] {
        codes = nlohmann::json::parse(fetch(probe, servers->httpURL("/ws-close-codes")));
        return codes.size() >= 3;
    }));
    for (const Case& c : cases) {
        bool found = false;
        for (const auto& entry : codes) {
            if (entry["kind"] == c.kind) {
                EXPECT_EQ(entry["code"], c.code) << c.kind;
                found = true;
            }
        }
        EXPECT_TRUE(found) << c.kind;
    }
}

// A socket that breaks after it opened opens again on the next route; the
// client hears of each break once, and after the last route of nothing more.
TEST(NRVURLBrokerWebSocket, BrokenSocketReopensOnTheNextRoute) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    SelfReportingHandler handler;
    NRVURLBroker broker(handler);
    // The system route, then the direct one: both reach the server.
    broker.startWithConfiguration(NRVURLBrokerConfiguration::systemConfiguration(), nullptr);
    auto recorder = std::make_shared<Recorder<SocketEvent>>();
    broker.connectToWebSocketServer(get(servers->badWebSocketURL("masked")),
                                    socketRecorder(recorder));
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return countOf(events, 4) == 2; }));
    // No third opening may follow: a short bound for something that must
    // not happen, then whatever was under way is let through.
    std::this_thread::sleep_for(300ms);
    handler->drainForUnitTest();
    std::vector<long> codes;
    for (const auto& e : recorder->values()) codes.push_back(e.code);
    EXPECT_EQ(codes, (std::vector<long>{1, 4, 1, 4}));
    EXPECT_EQ(handler->webSocketTaskCount(), 0u);
}

// A socket whose first route is dead opens on the next; stopping the broker
// closes it with "going away".
TEST(NRVURLBrokerWebSocket, FailoverOnOpenAndGoingAwayOnStop) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    // The relay's failure is announced, not trimmed: trimming rebuilds every
    // container, and with it the socket being opened.
    brokertest::TestHandler handler;
    NRVDictionary relays;
    NRVDictionary relay;
    relay.set("MessageRelayAddress", "127.0.0.1");
    relay.set("MessageRelayPort", LocalServers::deadPort());
    relays.set("NRVMcsMessageRelaysToUse", NRVArray{relay});
    handler->configFromBootstrapper(relays);
    NRVURLBroker probe(handler);
    probe.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);

    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::defaultConfiguration(), nullptr);
    auto recorder = std::make_shared<Recorder<SocketEvent>>();
    broker.connectToWebSocketServer(get(servers->badWebSocketURL("hold")),
                                    socketRecorder(recorder));
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return countOf(events, 1) == 1; }));
    EXPECT_EQ(countOf(recorder->values(), 4), 0u);
    EXPECT_EQ(handler->webSocketTaskCount(), 1u);

    broker.stop();
    nlohmann::json codes;
    ASSERT_TRUE(brokertest::eventually([&] {
        codes = nlohmann::json::parse(fetch(probe, servers->httpURL("/ws-close-codes")));
        for (const auto& entry : codes) {
            if (entry["kind"] == "hold") return true;
        }
        return false;
    }));
    for (const auto& entry : codes) {
        if (entry["kind"] == "hold") {
            EXPECT_EQ(entry["code"], 1001);
        }
    }
}

// A peer that lets a ping go unanswered until the next ping is due is taken
// for dead: the failure is logged, the client hears of it once (event 4),
// and the socket is pinged no more.
TEST(NRVURLBrokerWebSocket, PingWithoutPongFailsTheSocketOnce) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    auto capture = std::make_shared<platform::log::CaptureSink>();
    platform::log::setSink(capture);
    struct ResetSink {
        ~ResetSink() { platform::log::setSink(nullptr); }
    } resetSink;
    SelfReportingHandler handler;
    handler->setPingIntervalForUnitTest(0.3);
    NRVURLBroker probe(handler);
    probe.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);

    auto recorder = std::make_shared<Recorder<SocketEvent>>();
    broker.connectToWebSocketServer(get(servers->badWebSocketURL("no-pong")),
                                    socketRecorder(recorder));
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return countOf(events, 4) >= 1; }));
    EXPECT_EQ(recorder->values()[0].code, 1);
    handler->drainForUnitTest();
    EXPECT_EQ(handler->webSocketTaskCount(), 0u);
    EXPECT_TRUE(brokertest::eventually([&] { return !handler->hasPingTimer(); }));

    const std::string prefix = "Communication error with websocket server (task: ";
    const std::string suffix = "): no pong received within 0.3 s";
    std::size_t lines = 0;
    for (const auto& record : capture->records()) {
        if (record.category == "websocket" && record.level == platform::log::Level::Error &&
            record.message.rfind(prefix, 0) == 0) {
            ++lines;
            EXPECT_TRUE(record.message.size() > suffix.size() &&
                        record.message.compare(record.message.size() - suffix.size(), suffix.size(), suffix) == 0)
                << record.message;
        }
    }
    EXPECT_EQ(lines, 1u);

    // The server saw the pings up to the failure and none after it.
    const std::string swallowed = fetch(probe, servers->httpURL("/ws-pings"));
    EXPECT_GE(std::atoi(swallowed.c_str()), 1);
    // No ping may follow: a bound of five ping intervals for something that
    // must not happen.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(fetch(probe, servers->httpURL("/ws-pings")), swallowed);
    EXPECT_EQ(countOf(recorder->values(), 4), 1u);
    EXPECT_EQ(countOf(recorder->values(), 2), 0u);
}

// A server that takes the connection and never answers the upgrade: the
// request's timeout ends the attempt (-1001) as it ends any request.
TEST(NRVURLBrokerWebSocket, UpgradeWithoutAnswerEndsAtTheRequestTimeout) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    SelfReportingHandler handler;
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);
    auto recorder = std::make_shared<Recorder<SocketEvent>>();
    const auto begin = std::chrono::steady_clock::now();
    broker.connectToWebSocketServer(get("ws://127.0.0.1:" + std::to_string(servers->httpPort) + "/stall", 1),
                                    socketRecorder(recorder));
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return !events.empty(); }));
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    auto events = recorder->values();
    EXPECT_EQ(events[0].code, 4);
    EXPECT_EQ(events[0].errorCode, -1001);
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 8s);  // the timeout, with room for a loaded machine
}

// A peer that stops reading holds up its own socket only: sends return at
// once, an unrelated request on the same handler completes, and the socket
// fails (event 4) once more than its limit waits to be sent.
TEST(NRVURLBrokerWebSocket, PeerThatDoesNotReadFailsItsSocketOnly) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    SelfReportingHandler handler;
    handler->setWebSocketSendLimitsForUnitTest(256 * 1024, std::chrono::seconds(60));
    NRVURLBroker probe(handler);
    probe.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), nullptr);
    auto recorder = std::make_shared<Recorder<SocketEvent>>();
    broker.connectToWebSocketServer(get(servers->badWebSocketURL("deaf")), socketRecorder(recorder));
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return !events.empty(); }));
    ASSERT_EQ(recorder->values()[0].code, 1);

    // Far more than the connection's buffers and the limit together.
    auto failed = std::make_shared<std::atomic<int>>(0);
    const std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 400; ++i) {
        broker.send(chunk, [failed](NRVErrorRef error) {
            if (error) failed->fetch_add(1);
        });
    }
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(fetch(probe, servers->httpURL("/status/200")), "status 200");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    ASSERT_TRUE(recorder->waitFor([](const auto& events) { return countOf(events, 4) == 1; }));
    EXPECT_TRUE(brokertest::eventually([&] { return failed->load() > 0; }));
    handler->drainForUnitTest();
    EXPECT_EQ(handler->webSocketTaskCount(), 0u);
}
