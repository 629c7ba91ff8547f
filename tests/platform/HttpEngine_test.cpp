#include "platform/http/HttpEngine.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "support/LocalServers.h"

using namespace platform::http;
using namespace std::chrono_literals;

namespace {

struct Outcome {
    TransferResult result;
    std::string body;
    int responses = 0;
};

Outcome run(Engine& engine, const std::shared_ptr<Session>& session, Request request, ServerTrustHook trust = nullptr,
            std::shared_ptr<Transfer>* started = nullptr) {
    auto outcome = std::make_shared<Outcome>();
    auto done = std::make_shared<std::promise<void>>();
    TransferDelegate delegate;
    delegate.onResponse = [outcome](const ResponseHead&) { outcome->responses++; };
    delegate.onData = [outcome](const char* data, std::size_t size) {
        outcome->body.append(data, size);
        return true;
    };
    delegate.onComplete = [outcome, done](const TransferResult& result) {
        outcome->result = result;
        done->set_value();
    };
    auto transfer = engine.start(session, std::move(request), std::move(delegate), std::move(trust));
    if (started) *started = transfer;
    auto future = done->get_future();
    EXPECT_EQ(future.wait_for(60s), std::future_status::ready);
    return *outcome;
}

// Accepts chains that lead to the authority in `caFile`, counting its calls.
ServerTrustHook trustOnly(const std::string& caFile, std::shared_ptr<std::atomic<int>> calls = nullptr) {
    return [caFile, calls](x509_store_ctx_st* chain, const std::string&, platform::Error*) {
        if (calls) ++*calls;
        X509_STORE* store = X509_STORE_new();
        X509_STORE_load_file(store, caFile.c_str());
        X509_STORE_CTX* check = X509_STORE_CTX_new();
        X509_STORE_CTX_init(check, store, X509_STORE_CTX_get0_cert(chain), X509_STORE_CTX_get0_untrusted(chain));
        bool ok = X509_verify_cert(check) == 1;
        X509_STORE_CTX_free(check);
        X509_STORE_free(store);
        return ok;
    };
}

Request get(const std::string& url, long idleMs = 20000) {
    Request request;
    request.url = url;
    request.idleTimeoutMs = idleMs;
    return request;
}

}  // namespace

TEST(HttpEngine, DirectRequestDeliversStatusAndBody) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    auto engine = Engine::create("test");
    auto direct = engine->createSession(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    Outcome ok = run(*engine, direct, get(servers->httpURL("/status/201")));
    EXPECT_EQ(ok.result.kind, TransferErrorKind::None);
    ASSERT_TRUE(ok.result.response);
    EXPECT_EQ(ok.result.response->status, 201);
    EXPECT_EQ(ok.body, "status 201");
    EXPECT_EQ(ok.responses, 1);

    Request put = get(servers->httpURL("/echo"));
    put.method = "POST";
    put.body = std::make_shared<const std::string>(std::string(3000, 'b'));
    put.headers = {{"X-One", "1"}, {"X-Bad", "a\r\nInjected: yes"}};
    Outcome echoed = run(*engine, direct, put);
    EXPECT_NE(echoed.body.find("\"bodyLength\": 3000"), std::string::npos) << echoed.body;
    EXPECT_NE(echoed.body.find("\"X-One\": \"1\""), std::string::npos);
    EXPECT_EQ(echoed.body.find("Injected"), std::string::npos);

    // Every decoder libcurl has is offered, as a plain handle offers them.
    std::string plain;
    CURL* easy = curl_easy_init();
    ASSERT_NE(easy, nullptr);
    const std::string echo = servers->httpURL("/echo");
    curl_easy_setopt(easy, CURLOPT_URL, echo.c_str());
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &plain);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
    });
    ASSERT_EQ(curl_easy_perform(easy), CURLE_OK);
    curl_easy_cleanup(easy);
    const auto offered = [](const std::string& body) {
        const std::string key = "\"Accept-Encoding\": \"";
        const auto at = body.find(key);
        return at == std::string::npos ? std::string("<none>")
                                       : body.substr(at + key.size(), body.find('"', at + key.size()) - at - key.size());
    };
    EXPECT_NE(offered(plain).find("gzip"), std::string::npos) << plain;
    EXPECT_EQ(offered(run(*engine, direct, get(echo)).body), offered(plain));
    // A request's own offer, in any case, is the only one sent.
    Request own = get(echo);
    own.headers = {{"accept-encoding", "identity"}};
    const std::string ownBody = run(*engine, direct, own).body;
    EXPECT_NE(ownBody.find("\"accept-encoding\": \"identity\""), std::string::npos) << ownBody;
    EXPECT_EQ(offered(ownBody), "<none>") << ownBody;
}

// Broken and hostile answers end in the matching failure, never in success.
TEST(HttpEngine, BrokenAnswersFail) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    auto engine = Engine::create("test");
    auto direct = engine->createSession(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    struct Case {
        const char* name;
        std::string url;
        long idleMs;
        TransferErrorKind expected;
    } cases[] = {
        {"refused", "http://127.0.0.1:" + std::to_string(testsupport::LocalServers::deadPort()) + "/", 20000,
         TransferErrorKind::ConnectFailed},
        {"dropped", servers->httpURL("/drop"), 20000, TransferErrorKind::ConnectionLost},
        {"short body", servers->httpURL("/bad-length"), 20000, TransferErrorKind::ConnectionLost},
        {"cut chunks", servers->httpURL("/cut-chunked"), 20000, TransferErrorKind::ConnectionLost},
        {"1 MiB headers", servers->httpURL("/big-headers"), 20000, TransferErrorKind::TooLarge},
        {"never answers", servers->httpURL("/stall"), 1000, TransferErrorKind::TimedOut},
    };
    for (const Case& c : cases) {
        auto begin = std::chrono::steady_clock::now();
        Outcome outcome = run(*engine, direct, get(c.url, c.idleMs));
        EXPECT_EQ(outcome.result.kind, c.expected) << c.name << ": " << outcome.result.message;
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 15s) << c.name;
    }
}

TEST(HttpEngine, CancelEndsARunningTransfer) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    auto engine = Engine::create("test");
    auto direct = engine->createSession(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    auto done = std::make_shared<std::promise<TransferResult>>();
    TransferDelegate delegate;
    delegate.onComplete = [done](const TransferResult& r) { done->set_value(r); };
    const int stalls = servers->stalls();
    auto transfer = engine->start(direct, get(servers->httpURL("/stall")), delegate, nullptr);
    ASSERT_TRUE(testsupport::waitUntil([&] { return servers->stalls() > stalls; }));
    EXPECT_TRUE(transfer->isRunning());
    transfer->cancel();
    auto future = done->get_future();
    ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(future.get().kind, TransferErrorKind::Cancelled);
    EXPECT_FALSE(transfer->isRunning());

    // An invalidated session refuses new work.
    direct->finishTasksAndInvalidate();
    EXPECT_EQ(run(*engine, direct, get(servers->httpURL("/status/200"))).result.kind, TransferErrorKind::Cancelled);
}

TEST(HttpEngine, ProxyAuthenticationForPlainAndTunnelledRequests) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    auto engine = Engine::create("test");
    auto proxy = engine->createSession({ProxyRoute::Mode::Explicit, "127.0.0.1", static_cast<uint16_t>(servers->proxyPort)});
    auto trust = trustOnly(servers->caPath());
    for (const std::string& url : {servers->httpURL("/status/200"), servers->httpsURL("/status/200")}) {
        const bool tunnel = url.rfind("https", 0) == 0;
        Outcome bare = run(*engine, proxy, get(url), trust);
        EXPECT_TRUE(bare.result.proxyAsksBasicOrDigest) << url;
        if (tunnel) {
            EXPECT_EQ(bare.result.kind, TransferErrorKind::ProxyFailed) << bare.result.message;
            EXPECT_EQ(bare.result.proxyConnectStatus, 407);
        } else {
            ASSERT_TRUE(bare.result.response);
            EXPECT_EQ(bare.result.response->status, 407);
        }

        Request withCredentials = get(url);
        withCredentials.proxyCredentials = Credentials{testsupport::LocalServers::kProxyUser,
                                                       testsupport::LocalServers::kProxyPassword};
        Outcome good = run(*engine, proxy, withCredentials, trust);
        EXPECT_EQ(good.result.kind, TransferErrorKind::None) << url << ": " << good.result.message;
        EXPECT_EQ(good.body, "status 200");

        withCredentials.proxyCredentials->password = "wrong";
        Outcome wrong = run(*engine, proxy, withCredentials, trust);
        const long status = tunnel ? wrong.result.proxyConnectStatus : (wrong.result.response ? wrong.result.response->status : 0);
        // tinyproxy refuses wrong credentials with 401 where it asked with 407.
        EXPECT_TRUE(status == 401 || status == 407) << url << ": " << status;
    }
}

// Every new connection passes the trust hook; a kept-alive connection is
// reused without a new handshake, and a reset session connects afresh.
TEST(HttpEngine, TrustHookDecidesEveryNewConnection) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    auto engine = Engine::create("test");
    auto direct = engine->createSession(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto trust = trustOnly(servers->caPath(), calls);

    EXPECT_EQ(run(*engine, direct, get(servers->httpsURL("/status/200")), trust).result.kind, TransferErrorKind::None);
    EXPECT_EQ(run(*engine, direct, get(servers->httpsURL("/status/200")), trust).result.kind, TransferErrorKind::None);
    EXPECT_EQ(calls->load(), 1);

    std::promise<void> reset;
    direct->reset([&] { reset.set_value(); });
    ASSERT_EQ(reset.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_EQ(run(*engine, direct, get(servers->httpsURL("/status/200")), trust).result.kind, TransferErrorKind::None);
    EXPECT_EQ(calls->load(), 2);

    Outcome refused = run(*engine, direct, get(servers->untrustedURL("/status/200")), trust);
    EXPECT_EQ(refused.result.kind, TransferErrorKind::ServerTrustRefused);
    EXPECT_EQ(calls->load(), 3);
    EXPECT_FALSE(refused.result.response);
}

TEST(HttpEngine, DownloadGoesToTheFile) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    testsupport::TempDir dir;
    auto engine = Engine::create("test");
    auto direct = engine->createSession(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    Request request = get(servers->httpURL("/bytes/3000000"));
    request.downloadPath = dir / "file";
    Outcome outcome = run(*engine, direct, request);
    EXPECT_EQ(outcome.result.kind, TransferErrorKind::None);
    EXPECT_TRUE(outcome.body.empty());
    std::string content = testsupport::readText(dir / "file");
    ASSERT_EQ(content.size(), 3000000u);
    EXPECT_EQ(static_cast<unsigned char>(content[257]), 1);
    // An existing file is never overwritten.
    EXPECT_EQ(run(*engine, direct, request).result.kind, TransferErrorKind::Other);
}

TEST(HttpEngine, StreamConnectionThroughTheProxyTunnel) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    auto engine = Engine::create("test");
    auto proxy = engine->createSession({ProxyRoute::Mode::Explicit, "127.0.0.1", static_cast<uint16_t>(servers->proxyPort)});
    TransferResult result;
    auto stream = engine->openStream(proxy, servers->httpURL("/"),
                                     Credentials{testsupport::LocalServers::kProxyUser, testsupport::LocalServers::kProxyPassword},
                                     5000, nullptr, &result);
    ASSERT_TRUE(stream) << result.message;
    std::string request = "GET /status/204 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ASSERT_TRUE(stream->send(request.data(), request.size(), nullptr));
    char buffer[512];
    long got = stream->receive(buffer, sizeof buffer, 5000, nullptr);
    ASSERT_GT(got, 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)).rfind("HTTP/1.", 0), 0u);

    auto refused = engine->openStream(proxy, servers->httpURL("/"), std::nullopt, 5000, nullptr, &result);
    EXPECT_FALSE(refused);
    EXPECT_EQ(result.proxyConnectStatus, 407);
}

TEST(HttpEngine, CookiesStayWithTheirSessionUntilReset) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    auto engine = Engine::create("test");
    auto one = engine->createSession(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    auto two = engine->createSession(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    ASSERT_EQ(run(*engine, one, get(servers->httpURL("/set-cookie"))).result.kind, TransferErrorKind::None);
    auto atRoot = one->cookiesForURL(servers->httpURL("/status/200"));
    ASSERT_EQ(atRoot.size(), 1u);
    EXPECT_EQ(atRoot[0].name, "sid");
    EXPECT_EQ(atRoot[0].value, "secret-value");
    EXPECT_EQ(atRoot[0].expires, 0);
    auto atOther = one->cookiesForURL(servers->httpURL("/other/page"));
    ASSERT_EQ(atOther.size(), 2u);
    EXPECT_GT(atOther[0].expires + atOther[1].expires, 0);
    EXPECT_TRUE(two->cookiesForURL(servers->httpURL("/")).empty());
    // The cookie goes back to the server it came from.
    EXPECT_NE(run(*engine, one, get(servers->httpURL("/echo"))).body.find("sid=secret-value"), std::string::npos);
    one->reset(nullptr);
    EXPECT_TRUE(one->cookiesForURL(servers->httpURL("/other/page")).empty());
}

// Work given to dispatch() lands on the queue at once and in order; an idle
// queue runs on the engine's thread (right after the callback that gave it),
// and a trust hook that waits for the queue while such work is pending on
// the engine's thread still gets its answer.
TEST(HttpEngine, DispatchedQueueRunsOnTheEngineThreadWithoutStallingTheTrustHook) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    using platform::dispatch::DispatchQueue;
    auto engine = Engine::create("test");
    auto direct = engine->createSession(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    auto queue = DispatchQueue::createSerial("test.engine.dispatch");

    struct Seen {
        std::mutex mutex;
        std::vector<int> order;
        std::thread::id callbackThread, blockThread;
        bool onQueue = false;
    };
    auto seen = std::make_shared<Seen>();
    auto done = std::make_shared<std::promise<void>>();
    TransferDelegate delegate;
    delegate.onComplete = [&, seen, done](const TransferResult&) {
        seen->callbackThread = std::this_thread::get_id();
        engine->dispatch(queue, [queue, seen, done] {
            seen->blockThread = std::this_thread::get_id();
            seen->onQueue = queue->isCurrent();
            done->set_value();
        });
    };
    engine->start(direct, get(servers->httpURL("/status/200")), std::move(delegate), nullptr);
    ASSERT_EQ(done->get_future().wait_for(30s), std::future_status::ready);
    EXPECT_EQ(seen->blockThread, seen->callbackThread);
    EXPECT_TRUE(seen->onQueue);

    // From another thread: queued at once, so later blocks keep their order.
    for (int i = 0; i < 50; ++i) {
        engine->dispatch(queue, [seen, i] {
            std::lock_guard<std::mutex> lock(seen->mutex);
            seen->order.push_back(i);
        });
        if (i % 2) queue->async([seen, i] {
            std::lock_guard<std::mutex> lock(seen->mutex);
            seen->order.push_back(100 + i);
        });
    }
    queue->sync([] {});
    {
        std::lock_guard<std::mutex> lock(seen->mutex);
        std::vector<int> expected;
        for (int i = 0; i < 50; ++i) {
            expected.push_back(i);
            if (i % 2) expected.push_back(100 + i);
        }
        EXPECT_EQ(seen->order, expected);
    }

    // The hook hands work to the idle queue (its worker waits for the engine's
    // thread), then waits for the queue.
    auto ran = std::make_shared<std::atomic<bool>>(false);
    ServerTrustHook waiting = [&, ran](x509_store_ctx_st*, const std::string&, platform::Error*) {
        engine->dispatch(queue, [ran] { *ran = true; });
        queue->sync([] {});
        return ran->load();
    };
    Outcome outcome = run(*engine, direct, get(servers->httpsURL("/status/200")), waiting);
    EXPECT_EQ(outcome.result.kind, TransferErrorKind::None);
    EXPECT_TRUE(ran->load());
}

// A session hands the handles of finished transfers to its next ones: no
// method, body, header or download file of one transfer reaches the next.
TEST(HttpEngine, ReusedHandlesCarryNothingIntoTheNextTransfer) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    testsupport::TempDir dir;
    auto engine = Engine::create("test");
    auto direct = engine->createSession(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    Request post = get(servers->httpURL("/echo"));
    post.method = "POST";
    post.body = std::make_shared<const std::string>("twelve bytes");
    post.headers.emplace_back("X-Only-Once", "1");
    Request head = get(servers->httpURL("/status/200"));
    head.method = "HEAD";
    Request download = get(servers->httpURL("/bytes/100"));
    download.downloadPath = dir / "file";
    for (const Request& first : {post, head, download}) {
        SCOPED_TRACE(first.method + " " + first.url);
        ASSERT_EQ(run(*engine, direct, first).result.kind, TransferErrorKind::None);
        Outcome next = run(*engine, direct, get(servers->httpURL("/echo")));
        ASSERT_EQ(next.result.kind, TransferErrorKind::None);
        EXPECT_NE(next.body.find("\"method\": \"GET\""), std::string::npos) << next.body;
        EXPECT_NE(next.body.find("\"bodyLength\": 0"), std::string::npos) << next.body;
        EXPECT_EQ(next.body.find("X-Only-Once"), std::string::npos) << next.body;
    }
    EXPECT_EQ(testsupport::readText(dir / "file").size(), 100u);
}

// Stopping the engine cancels what runs; a transfer that a cancelled one's
// completion starts on the way out is cancelled too, never left hanging.
TEST(HttpEngine, TransfersStartedWhileTheEngineStopsStillComplete) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    auto engine = Engine::create("test");
    Engine* raw = engine.get();
    auto direct = engine->createSession(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    auto kinds = std::make_shared<std::vector<TransferErrorKind>>();
    TransferDelegate first;
    first.onComplete = [raw, direct, kinds, url = servers->httpURL("/stall")](const TransferResult& result) {
        kinds->push_back(result.kind);
        TransferDelegate second;
        second.onComplete = [kinds](const TransferResult& again) { kinds->push_back(again.kind); };
        raw->start(direct, get(url), std::move(second), nullptr);
    };
    const int stalls = servers->stalls();
    engine->start(direct, get(servers->httpURL("/stall")), std::move(first), nullptr);
    // The server never answers: the transfer runs until the engine stops.
    ASSERT_TRUE(testsupport::waitUntil([&] { return servers->stalls() > stalls; }));
    engine.reset();
    EXPECT_EQ(*kinds, (std::vector<TransferErrorKind>{TransferErrorKind::Cancelled, TransferErrorKind::Cancelled}));
}
