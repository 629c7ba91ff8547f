#include "net/session/NRVWebSocketTask.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>

#include "net/BrokerTestSupport.h"
#include "net/session/NRVURLSession.h"
#include "platform/http/HttpEngine.h"

using testsupport::LocalServers;

namespace {

// The descriptors of this process that are TCP connections to `port`
// (open, whether or not shut down).
int socketsToPort(int port) {
    std::set<std::string> inodes;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(fds)) {
            char target[64] = {};
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t size = readlink(path.c_str(), target, sizeof target - 1);
            const std::string link(target, size > 0 ? static_cast<std::size_t>(size) : 0);
            if (link.rfind("socket:[", 0) == 0) inodes.insert(link.substr(8, link.size() - 9));
        }
        closedir(fds);
    }
    char remote[16];
    std::snprintf(remote, sizeof remote, ":%04X", port);
    int count = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, peer, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> peer >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (peer.size() > 5 && peer.compare(peer.size() - 5, 5, remote) == 0 && inodes.count(inode)) ++count;
        }
    }
    return count;
}

}  // namespace

// When a socket's last event goes out, its connection is already freed: the
// owner may end the process as soon as it has seen that event, and a
// connection still being torn down on the task's thread would race the
// process's own teardown of the TLS library.
TEST(NRVWebSocketTask, TheConnectionIsFreedBeforeTheLastEvent) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    brokertest::Environment environment(*servers);
    auto engine = platform::http::Engine::create("test");
    auto session = std::make_shared<NRVURLSession>(engine, NRVURLBrokerConfiguration::noProxyConfiguration());
    NRVURLRequest request;

    struct Case {
        const char* name;
        std::string url;
        bool opens;
    } cases[] = {
        {"closed by the server", servers->wsURL(), true},
        {"refused upgrade", servers->httpURL("/status/200").replace(0, 4, "ws"), false},
    };
    for (const Case& c : cases) {
        request.URL = c.url;
        auto task = std::make_shared<NRVWebSocketTask>(request, session, engine);
        auto opened = std::make_shared<std::promise<bool>>();
        auto socketsAtEnd = std::make_shared<std::promise<int>>();
        const int port = c.opens ? servers->wsPort : servers->httpPort;
        NRVWebSocketTask::Callbacks callbacks;
        callbacks.onOpenOrFail = [opened, socketsAtEnd, port](const std::optional<platform::http::TransferResult>& failure) {
            opened->set_value(!failure);
            if (failure) socketsAtEnd->set_value(socketsToPort(port));
        };
        callbacks.onEnd = [socketsAtEnd, port](std::uint16_t, const std::string&, const std::string&) {
            socketsAtEnd->set_value(socketsToPort(port));
        };
        task->resume(std::move(callbacks), nullptr, nullptr);
        ASSERT_EQ(opened->get_future().get(), c.opens) << c.name;
        if (c.opens) {
            EXPECT_EQ(socketsToPort(port), 1) << c.name;  // the count sees the open connection
            task->sendText("close", nullptr);
        }
        EXPECT_EQ(socketsAtEnd->get_future().get(), 0) << c.name;
    }
}
