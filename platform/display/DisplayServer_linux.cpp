#include "platform/display/DisplayServer.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>

#include "platform/fd/ScopedFD.h"

namespace platform::display {

namespace {

// Connects without blocking past the limit; true once the peer accepted.
bool connectWithin(int fd, const sockaddr* address, socklen_t length) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    if (::connect(fd, address, length) == 0) return true;
    if (errno != EINPROGRESS && errno != EAGAIN) return false;
    pollfd p{fd, POLLOUT, 0};
    const int waited = static_cast<int>(std::chrono::milliseconds(kConnectLimit).count());
    int ready;
    do ready = ::poll(&p, 1, waited);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// `path` as a socket address; with `abstract`, in the abstract namespace.
bool unixSocketAnswers(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.empty() || path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    ScopedFD fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd && connectWithin(fd.get(), reinterpret_cast<const sockaddr*>(&address), length);
}

bool tcpAnswers(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
    bool answered = false;
    for (const addrinfo* a = found; a && !answered; a = a->ai_next) {
        ScopedFD fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        answered = fd && connectWithin(fd.get(), a->ai_addr, a->ai_addrlen);
    }
    ::freeaddrinfo(found);
    return answered;
}

// The display number of "host:number[.screen]", or nullopt.
std::optional<int> displayNumber(const std::string& text) {
    std::size_t end = 0;
    while (end < text.size() && end < 6 && text[end] >= '0' && text[end] <= '9') ++end;
    if (end == 0 || (end < text.size() && text[end] != '.')) return std::nullopt;
    return std::stoi(text.substr(0, end));
}

}  // namespace

bool x11ServerReachable(const std::string& display) {
    std::string rest = display;
    if (rest.rfind("unix/", 0) == 0) rest.erase(0, 5);
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = rest.substr(0, colon);
    const auto number = displayNumber(rest.substr(colon + 1));
    if (!number) return false;
    if (host.empty() || host == "unix") {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(*number);
        return unixSocketAnswers(path, true) || unixSocketAnswers(path, false);
    }
    return tcpAnswers(host, 6000 + *number);
}

bool waylandServerReachable(const std::string& name, const std::string& runtimeFolder) {
    if (name.empty()) return false;
    if (name.front() == '/') return unixSocketAnswers(name, false);
    if (runtimeFolder.empty() || runtimeFolder.front() != '/') return false;
    return unixSocketAnswers(runtimeFolder + "/" + name, false);
}

}  // namespace platform::display
