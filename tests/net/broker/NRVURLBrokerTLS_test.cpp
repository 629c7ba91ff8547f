// HTTPS and wss against servers of the test's own: chains with weak keys or
// digests, a redirect to another host with a certificate of its own, and a
// server that does not speak TLS at all.
#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "net/BrokerTestSupport.h"
#include "net/broker/NRVURLBroker.h"
#include "net/NetTestCertificates.h"
#include "platform/log/LogStore.h"
#include "support/ChildProcess.h"

using namespace std::chrono_literals;
using brokertest::Environment;
using testsupport::LocalServers;

namespace {

std::shared_ptr<NRVURLResponse> request(NRVURLBroker& broker, const std::string& url) {
    auto promise = std::make_shared<std::promise<std::shared_ptr<NRVURLResponse>>>();
    NRVURLRequest r(url);
    r.timeoutInterval = 20;
    broker.dataWithRequest(r, [promise](std::shared_ptr<NRVURLResponse> response, std::optional<NRVData>) {
        promise->set_value(response);
    });
    auto future = promise->get_future();
    if (future.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "no reply for " << url;
        return nullptr;
    }
    return future.get();
}

// The first web-socket event (1 opened, 4 failed) and its error code.
std::pair<long, std::int64_t> openSocket(NRVURLBroker& broker, const std::string& url) {
    auto promise = std::make_shared<std::promise<std::pair<long, std::int64_t>>>();
    auto once = std::make_shared<std::once_flag>();
    NRVURLRequest r(url);
    r.timeoutInterval = 20;
    broker.connectToWebSocketServer(r, [promise, once](long code, std::shared_ptr<NRVURLResponse>, std::optional<std::string>,
                                                       std::optional<NRVData>, NRVErrorRef error) {
        std::call_once(*once, [&] { promise->set_value({code, error ? error->code : 0}); });
    });
    auto future = promise->get_future();
    if (future.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "no web-socket event for " << url;
        return {0, 0};
    }
    return future.get();
}

// The test's own authority as the only anchor, and HTTPS servers presenting
// chains it made.
class TLSFixture {
public:
    TLSFixture() {
        testsupport::writeText(dir_ / "anchors.pem", nettest::pem({root.certificate}));
        anchors_ = std::make_unique<testsupport::ScopedEnv>("NRV_ANCHOR_CERTIFICATES", dir_ / "anchors.pem");
        NRVSystemKeychain::refreshRootCAs();
    }
    ~TLSFixture() {
        anchors_.reset();
        NRVSystemKeychain::refreshRootCAs();
    }

    // Starts a server presenting `chain` (leaf first) with the leaf's key;
    // `extra` are more arguments of the server. Its HTTPS port, or 0.
    int serve(const std::string& name, const std::vector<NRVCertificateRef>& chain, const NRVKeyRef& key,
              std::vector<std::string> extra = {}) {
        testsupport::writeText(dir_ / (name + ".pem"), nettest::pem(chain));
        testsupport::writeText(dir_ / (name + ".key"), nettest::keyPem(key));
        std::vector<std::string> argv = {"/usr/bin/python3", std::string(NRV_SOURCE_DIR) + "/tests/support/servers/http_server.py",
                                         dir_ / (name + ".pem"), dir_ / (name + ".key")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        servers_.push_back(std::make_unique<testsupport::ChildProcess>(argv));
        auto line = servers_.back()->readLine(30s);
        if (!line || line->find("https=") == std::string::npos) return 0;
        return std::stoi(line->substr(line->find("https=") + 6));
    }
    std::string path(const std::string& name) const { return dir_ / name; }
    void writeFile(const std::string& name, const std::string& text) { testsupport::writeText(dir_ / name, text); }

    testcerts::Issued root = nettest::rootAuthority("Nerova TLS Test Root");

private:
    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::ScopedEnv> anchors_;
    std::vector<std::unique_ptr<testsupport::ChildProcess>> servers_;
};

nettest::ServerRecipe authorityRecipe(int rsaBits) {
    nettest::ServerRecipe recipe;
    recipe.commonName = "Intermediate";
    recipe.subjectAltName = "";
    recipe.extendedKeyUsage = nullptr;
    recipe.isCA = true;
    recipe.rsaBits = rsaBits;
    return recipe;
}

}  // namespace

// A chain with an RSA-1024 key (leaf or intermediate) or a SHA-1 or MD5
// signature is refused over HTTPS and wss with the reason on the error and
// in the failure line, although the challenge handler would accept it; the
// same chain with strong keys and SHA-256 opens.
TEST(NRVURLBrokerTLS, WeakKeysAndDigestsAreRefusedOverHTTPSAndWebSockets) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    TLSFixture tls;
    auto capture = std::make_shared<platform::log::CaptureSink>();
    platform::log::setSink(capture);
    struct ResetSink {
        ~ResetSink() { platform::log::setSink(nullptr); }
    } resetSink;
    brokertest::TestHandler handler;
    // A handler that accepts every chain: the refusal must not depend on it.
    NRVURLAuthenticationHandler acceptAll = [](const NRVURLAuthenticationChallenge& challenge, const NRVURLRequest*) {
        if (!challenge.protectionSpace.serverTrust) return NRVURLAuthenticationAnswer::cancel();
        return NRVURLAuthenticationAnswer::useCredential(NRVURLCredential::credentialForTrust(challenge.protectionSpace.serverTrust));
    };

    struct Case {
        const char* name;
        int authorityBits;
        int leafBits;
        const char* digest;
        const char* reason;  // nullptr: accepted
    } cases[] = {
        {"strong", 2048, 2048, "SHA256", nullptr},
        {"rsa1024-leaf", 2048, 1024, "SHA256", "weak key (RSA 1024 bits) at depth 0"},
        {"rsa1024-intermediate", 1024, 2048, "SHA256", "weak key (RSA 1024 bits) at depth 1"},
        {"sha1-leaf", 2048, 2048, "SHA1", "weak signature (SHA1) at depth 0"},
        {"md5-leaf", 2048, 2048, "MD5", "weak signature (MD5) at depth 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testcerts::Issued authority = nettest::issueServer(authorityRecipe(c.authorityBits), tls.root);
        nettest::ServerRecipe leafRecipe;
        leafRecipe.rsaBits = c.leafBits;
        leafRecipe.digest = c.digest;
        testcerts::Issued leaf = nettest::issueServer(leafRecipe, authority);
        ASSERT_TRUE(authority.certificate && leaf.certificate) << "OpenSSL would not make this chain";
        const int port = tls.serve(c.name, {leaf.certificate, authority.certificate}, leaf.key, {"--any-key"});
        ASSERT_GT(port, 0);
        const std::string base = "127.0.0.1:" + std::to_string(port);

        for (const auto& handlerCase : {NRVURLBrokerConfiguration::defaultHTTPSChallengeHandler(), acceptAll}) {
            NRVURLBroker broker(handler);
            broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), handlerCase);
            auto response = request(broker, "https://" + base + "/status/200");
            ASSERT_TRUE(response);
            const auto final = response->finalResponse();
            ASSERT_TRUE(final);
            if (!c.reason) {
                EXPECT_EQ(final->statusCode, 200) << response->description();
            } else {
                ASSERT_TRUE(final->error) << response->description();
                EXPECT_EQ(final->error->code, -1202);
                EXPECT_EQ(final->error->localizedFailureReason.value_or(""), c.reason);
            }
            auto [event, code] = openSocket(broker, "wss://" + base + "/ws-bad/hold");
            EXPECT_EQ(event, c.reason ? 4 : 1);
            EXPECT_EQ(code, c.reason ? -1202 : 0);
            broker.stop();
        }
        if (c.reason) {
            std::size_t lines = 0;
            for (const auto& record : capture->records()) {
                if (record.message.rfind("dataTask failed. url=https://" + base, 0) == 0 &&
                    record.message.find(std::string("reason: ") + c.reason) != std::string::npos) {
                    ++lines;
                }
            }
            EXPECT_EQ(lines, 2u) << "the failure line names the reason";
        }
    }
}

// After an HTTPS redirect from 127.0.0.1 to localhost, localhost's chain
// (valid for that name only) is judged against localhost, and the challenge
// names that host.
TEST(NRVURLBrokerTLS, RedirectToAnotherHostIsJudgedForThatHost) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    TLSFixture tls;
    nettest::ServerRecipe byAddress;
    byAddress.commonName = "127.0.0.1";
    byAddress.subjectAltName = "IP:127.0.0.1";
    nettest::ServerRecipe byName;
    byName.subjectAltName = "DNS:localhost";
    testcerts::Issued first = nettest::issueServer(byAddress, tls.root);
    testcerts::Issued second = nettest::issueServer(byName, tls.root);
    tls.writeFile("localhost.pem", nettest::pem({second.certificate}));
    tls.writeFile("localhost.key", nettest::keyPem(second.key));
    const int port = tls.serve("address", {first.certificate}, first.key,
                               {"--sni", "localhost", tls.path("localhost.pem"), tls.path("localhost.key")});
    ASSERT_GT(port, 0);

    brokertest::TestHandler handler;
    auto hosts = std::make_shared<std::vector<std::string>>();
    auto mutex = std::make_shared<std::mutex>();
    NRVURLAuthenticationHandler recording = [hosts, mutex](const NRVURLAuthenticationChallenge& challenge,
                                                           const NRVURLRequest* original) {
        {
            std::lock_guard<std::mutex> lock(*mutex);
            hosts->push_back(challenge.protectionSpace.host);
        }
        return NRVURLBrokerConfiguration::defaultHTTPSChallengeHandler()(challenge, original);
    };
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(), recording);
    const std::string target = "https://localhost:" + std::to_string(port) + "/status/200";
    auto response = request(broker, "https://127.0.0.1:" + std::to_string(port) + "/redirect?to=" + target);
    ASSERT_TRUE(response && response->finalResponse());
    EXPECT_EQ(response->finalResponse()->statusCode, 200) << response->description();
    EXPECT_FALSE(response->finalResponse()->error) << response->description();
    std::lock_guard<std::mutex> lock(*mutex);
    EXPECT_EQ(*hosts, (std::vector<std::string>{"127.0.0.1", "localhost"}));
}

// A server that answers the TLS handshake with plain HTTP is a failed
// secure connection (-1200), not a refused certificate.
TEST(NRVURLBrokerTLS, HandshakeFailureIsNotACertificateRefusal) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    brokertest::TestHandler handler;
    NRVURLBroker broker(handler);
    broker.startWithConfiguration(NRVURLBrokerConfiguration::noProxyConfiguration(),
                                  NRVURLBrokerConfiguration::defaultHTTPSChallengeHandler());
    auto response = request(broker, "https://127.0.0.1:" + std::to_string(servers->httpPort) + "/status/200");
    ASSERT_TRUE(response && response->finalResponse() && response->finalResponse()->error);
    EXPECT_EQ(response->finalResponse()->error->code, -1200) << response->description();
    auto [event, code] = openSocket(broker, "wss://127.0.0.1:" + std::to_string(servers->httpPort) + "/ws-bad/hold");
    EXPECT_EQ(event, 4);
    EXPECT_EQ(code, -1200);
}
