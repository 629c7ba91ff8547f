// An impostor, not a service: it binds the anonymous endpoints a dead service
// had posted to the broker (--endpoint, --control-endpoint), which anyone may
// do once they are free, announces that --service registered (any process may
// post that notification), and then plays the service on the wire: the ready
// frame on each connection, "1.0" to statusWithReply:, yes to every other
// call. Each call is recorded as one line "<selector>\t<argument texts>" in
// --record, so that a test sees what reached it.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FakeService.h"
#include "ipc/xpc/NRVXPCNotifications.h"
#include "platform/xpc/XPCFrame.h"
#include "platform/xpc/XPCIOLoop.h"

namespace fake {

namespace {

using platform::ScopedFD;
using platform::xpc::Frame;
using platform::xpc::Value;

struct Peer {
    ScopedFD fd;
    std::vector<std::uint8_t> in;
};

bool sendFrame(int fd, const Frame& frame) {
    std::vector<std::uint8_t> bytes;
    if (!platform::xpc::encodeFrame(frame, bytes)) return false;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0) return false;
        ssize_t n = ::write(fd, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string argumentText(const Value& v) {
    if (const std::string* s = v.asString()) return *s;
    if (const std::int64_t* i = v.asInteger()) return std::to_string(*i);
    if (const bool* b = v.asBool()) return *b ? "yes" : "no";
    if (v.endpoint()) return v.endpoint()->name;
    return v.isNull() ? "nil" : "?";
}

void record(const std::string& file, const Frame& call) {
    std::string line = call.selector;
    for (const auto& a : call.arguments) line.append("\t").append(argumentText(a));
    line += "\n";
    if (FILE* f = std::fopen(file.c_str(), "a")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
}

// Handles the whole frames in the peer's buffer; false when the peer must go.
bool serveFrames(Peer& peer, const std::string& recordFile) {
    for (;;) {
        if (peer.in.size() < 4) return true;
        const std::size_t length = (std::size_t(peer.in[0]) << 24) | (std::size_t(peer.in[1]) << 16) |
                                   (std::size_t(peer.in[2]) << 8) | std::size_t(peer.in[3]);
        if (length > platform::xpc::kMaxFrameLength) return false;
        if (peer.in.size() < 4 + length) return true;
        Frame frame;
        if (!platform::xpc::decodeFrameBody(peer.in.data() + 4, length, frame)) return false;
        peer.in.erase(peer.in.begin(), peer.in.begin() + static_cast<std::ptrdiff_t>(4 + length));
        if (frame.kind != Frame::Kind::Call) continue;
        record(recordFile, frame);
        if (!frame.wantsReply) continue;
        const Value answer = frame.selector == "statusWithReply:" ? Value("1.0") : Value(true);
        if (!sendFrame(peer.fd.get(), Frame::reply(frame.id, {answer}))) return false;
    }
}

void serve(std::vector<ScopedFD> listeners, const std::string& recordFile) {
    std::vector<std::unique_ptr<Peer>> peers;
    for (;;) {
        std::vector<pollfd> polled;
        for (const auto& l : listeners) polled.push_back({l.get(), POLLIN, 0});
        for (const auto& p : peers) polled.push_back({p->fd.get(), POLLIN, 0});
        if (::poll(polled.data(), polled.size(), -1) < 0) continue;
        std::vector<std::unique_ptr<Peer>> accepted;
        for (std::size_t i = 0; i < listeners.size(); ++i) {
            if (!(polled[i].revents & POLLIN)) continue;
            auto peer = std::make_unique<Peer>();
            peer->fd = platform::xpc::detail::acceptSocket(listeners[i].get());
            // The client writes nothing until it reads the ready frame.
            if (peer->fd && sendFrame(peer->fd.get(), Frame::reply(0, {}))) accepted.push_back(std::move(peer));
        }
        for (std::size_t i = 0; i < peers.size(); ++i) {
            if (!polled[listeners.size() + i].revents) continue;
            std::uint8_t buffer[64 * 1024];
            ssize_t n = ::read(peers[i]->fd.get(), buffer, sizeof buffer);
            bool keep = n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
            if (n > 0) {
                peers[i]->in.insert(peers[i]->in.end(), buffer, buffer + n);
                keep = serveFrames(*peers[i], recordFile);
            }
            if (!keep) peers[i].reset();
        }
        std::erase(peers, nullptr);
        for (auto& p : accepted) peers.push_back(std::move(p));
    }
}

}  // namespace

int runImpostor(const Options& options) {
    if (!options.endpoint || !options.controlEndpoint || !options.service || !options.record) {
        std::cerr << "nrv-fake-service: the impostor needs --endpoint, --control-endpoint, --service and --record\n";
        return 64;
    }
    std::vector<ScopedFD> listeners;
    for (const std::string& name : {*options.endpoint, *options.controlEndpoint}) {
        platform::Error why;
        ScopedFD fd = platform::xpc::detail::listenSocket(name, true, &why);
        if (!fd) {
            std::cerr << "nrv-fake-service: cannot bind " << name << ": " << why.description << "\n";
            return 1;
        }
        listeners.push_back(std::move(fd));
    }
    std::thread(serve, std::move(listeners), *options.record).detach();
    NRVDictionary info;
    info.set("registeredName", *options.service);
    NRVXPCNotifications::post(NRVXPCNotifications::kRegistered, info);
    announceReady();
    return waitForTermination();
}

}  // namespace fake
