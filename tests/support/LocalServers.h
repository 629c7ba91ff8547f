// The local servers of the network tests, all on 127.0.0.1 and free ports:
// an HTTP and an HTTPS server (a test certificate authority made here with
// openssl), a forward proxy with basic authentication (tinyproxy), a
// web-socket echo server, and a port that refuses connections. Started once
// per test program (the first test that asks) and ended by process id when
// the program exits.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "support/ChildProcess.h"
#include "support/Events.h"
#include "support/TestSupport.h"

#ifndef NRV_SOURCE_DIR
#error "LocalServers.h needs NRV_SOURCE_DIR"
#endif

namespace testsupport {

class LocalServers {
public:
    static constexpr const char* kProxyUser = "nrvtest";
    static constexpr const char* kProxyPassword = "s3cret-pass";

    // The running servers; fails (nullptr, reason in *why) when one would not start.
    static LocalServers* shared(std::string* why = nullptr) {
        static std::unique_ptr<LocalServers> servers;
        static std::string failure;
        static bool tried = false;
        if (!tried) {
            tried = true;
            auto candidate = std::unique_ptr<LocalServers>(new LocalServers);
            if (candidate->start(&failure)) servers = std::move(candidate);
        }
        if (why) *why = failure;
        return servers.get();
    }

    std::string httpURL(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(httpPort) + path; }
    std::string httpsURL(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(httpsPort) + path; }
    std::string untrustedURL(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(untrustedPort) + path;
    }
    std::string wsURL(const std::string& path = "/") const { return "ws://127.0.0.1:" + std::to_string(wsPort) + path; }
    // The HTTP server's misbehaving web socket of the given kind (/ws-bad/<kind>).
    std::string badWebSocketURL(const std::string& kind) const {
        return "ws://127.0.0.1:" + std::to_string(httpPort) + "/ws-bad/" + kind;
    }
    std::string caPath() const { return dir_.path() + "/ca.pem"; }
    std::string otherCAPath() const { return dir_.path() + "/other-ca.pem"; }

    // How many /stall requests the HTTP server has read so far: a test
    // waits for the count to grow to know its transfer reached the server.
    int stalls() const {
        const std::string body = plainGet(httpPort, "/stalls");
        return body.empty() ? -1 : std::atoi(body.c_str());
    }

    // A loopback port nothing listens on: connecting is refused at once.
    static int deadPort() {
        int port = freePort();
        return port > 0 ? port : 9;
    }

    int httpPort = 0;
    int httpsPort = 0;
    int untrustedPort = 0;
    int wsPort = 0;
    int proxyPort = 0;

private:
    LocalServers() = default;

    static std::string serversDir() { return std::string(NRV_SOURCE_DIR) + "/tests/support/servers"; }

    static int freePort() {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int port = -1;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
        ::close(fd);
        return port;
    }

    // The body of a GET over HTTP/1.0 (the server closes after answering),
    // "" on any failure.
    static std::string plainGet(int port, const std::string& path) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return "";
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string reply;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
            if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
                char chunk[4096];
                for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) reply.append(chunk, static_cast<std::size_t>(n));
            }
        }
        ::close(fd);
        const auto body = reply.find("\r\n\r\n");
        if (reply.rfind("HTTP/1.", 0) != 0 || reply.find(" 200 ") == std::string::npos || body == std::string::npos) return "";
        return reply.substr(body + 4);
    }

    static bool accepts(int port) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }

    // Reads "READY key=port ..." and returns the value of key.
    static std::optional<int> readyPort(ChildProcess& child, const std::string& key, std::string* line) {
        if (line->empty()) {
            auto got = child.readLine(std::chrono::seconds(30));
            if (!got || got->rfind("READY", 0) != 0) return std::nullopt;
            *line = *got;
        }
        std::istringstream words(*line);
        std::string word;
        while (words >> word) {
            if (word.rfind(key + "=", 0) == 0) return std::stoi(word.substr(key.size() + 1));
        }
        return std::nullopt;
    }

    bool start(std::string* why) {
        ProgramResult made = runProgram({"/bin/bash", serversDir() + "/make_test_ca.sh", dir_.path()});
        if (made.status != 0) return fail(why, "could not make the test authority: " + made.err);

        http_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/python3", serversDir() + "/http_server.py", dir_ / "server.pem", dir_ / "server.key"});
        std::string line;
        auto h = readyPort(*http_, "http", &line);
        auto s = readyPort(*http_, "https", &line);
        if (!h || !s) return fail(why, "the HTTP server did not start");
        httpPort = *h;
        httpsPort = *s;

        untrusted_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/python3", serversDir() + "/http_server.py", dir_ / "other-server.pem", dir_ / "other-server.key"});
        line.clear();
        auto u = readyPort(*untrusted_, "https", &line);
        if (!u) return fail(why, "the second HTTPS server did not start");
        untrustedPort = *u;

        ws_ = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/python3", serversDir() + "/ws_echo_server.py"});
        line.clear();
        auto w = readyPort(*ws_, "ws", &line);
        if (!w) return fail(why, "the web-socket server did not start (python3-websockets)");
        wsPort = *w;

        // tinyproxy takes its port from its configuration: pick a free one and
        // try again when another program took it meanwhile.
        for (int attempt = 0; attempt < 5 && proxyPort == 0; ++attempt) {
            int port = freePort();
            std::string config = dir_ / "tinyproxy.conf";
            writeText(config, "Port " + std::to_string(port) +
                                  "\nListen 127.0.0.1\nTimeout 60\nMaxClients 100\nAllow 127.0.0.1\n"
                                  "BasicAuth " + kProxyUser + " " + kProxyPassword + "\nLogLevel Critical\n"
                                  "DisableViaHeader Yes\n");
            proxy_ = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", config});
            if (waitUntil([&] { return accepts(port); }, std::chrono::seconds(6))) {
                proxyPort = port;
            } else {
                proxy_.reset();
            }
        }
        if (proxyPort == 0) return fail(why, "tinyproxy did not start");
        return true;
    }

    static bool fail(std::string* why, const std::string& text) {
        *why = text;
        return false;
    }

    TempDir dir_;
    std::unique_ptr<ChildProcess> http_, untrusted_, ws_, proxy_;
};

}  // namespace testsupport

// The servers are part of the test environment (.ci/install-deps installs
// them): a test fails, rather than skips, when they cannot start.
#define NRV_REQUIRE_LOCAL_SERVERS(var)                                             \
    std::string var##Why;                                                          \
    testsupport::LocalServers* var = testsupport::LocalServers::shared(&var##Why); \
    ASSERT_NE(var, nullptr) << var##Why
