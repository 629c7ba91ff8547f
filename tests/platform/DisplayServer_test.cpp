// The window-system probes against sockets of the test's own: a listening
// socket answers, a path or port where nothing listens does not.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/display/DisplayServer.h"
#include "support/TestSupport.h"

namespace {

// A listening socket, closed with the object.
struct Listener {
    int fd = -1;
    ~Listener() {
        if (fd >= 0) ::close(fd);
    }
};

bool listenAt(Listener& l, const std::string& path) {
    l.fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    return l.fd >= 0 && ::bind(l.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(l.fd, 4) == 0;
}

// A TCP port above 6000 on the loopback address, for an X display number.
int listenOnLoopback(Listener& l) {
    for (int port = 6700; port < 6900; ++port) {
        Listener attempt;
        attempt.fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(attempt.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(attempt.fd, 4) == 0) {
            std::swap(l.fd, attempt.fd);
            return port;
        }
    }
    return 0;
}

}  // namespace

TEST(DisplayServer, AnswersOnlyWhereAServerListens) {
    testsupport::TempDir runtime;
    Listener wayland, x11;
    ASSERT_TRUE(listenAt(wayland, runtime / "wayland-7"));
    const int port = listenOnLoopback(x11);
    ASSERT_GT(port, 0);
    const std::string tcpDisplay = "127.0.0.1:" + std::to_string(port - 6000);
    // Nothing listens on the next port: nothing else of the test binds there
    // between the two calls.
    const std::string silentTcpDisplay = "127.0.0.1:" + std::to_string(port - 6000 + 1) + ".0";

    struct Case {
        const char* name;
        bool reachable;
        bool expected;
    };
    const Case cases[] = {
        {"Wayland name in the runtime folder", platform::display::waylandServerReachable("wayland-7", runtime.path()), true},
        {"Wayland socket path", platform::display::waylandServerReachable(runtime / "wayland-7", ""), true},
        {"Wayland name without a listener", platform::display::waylandServerReachable("wayland-8", runtime.path()), false},
        {"Wayland name without a runtime folder", platform::display::waylandServerReachable("wayland-7", ""), false},
        {"Wayland file that is no socket",
         (testsupport::writeText(runtime / "plain", "x"), platform::display::waylandServerReachable("plain", runtime.path())),
         false},
        {"X display over TCP", platform::display::x11ServerReachable(tcpDisplay), true},
        {"X display over TCP with a screen", platform::display::x11ServerReachable(tcpDisplay + ".0"), true},
        {"X display over TCP without a server", platform::display::x11ServerReachable(silentTcpDisplay), false},
        {"X display text without a number", platform::display::x11ServerReachable("127.0.0.1:x"), false},
        {"X display text without a colon", platform::display::x11ServerReachable("nothing"), false},
    };
    for (const Case& c : cases) EXPECT_EQ(c.reachable, c.expected) << c.name;
}
