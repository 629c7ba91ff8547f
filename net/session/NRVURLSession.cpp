#include "net/session/NRVURLSession.h"

#include <atomic>
#include <cstdio>
#include <random>

#include "foundation/NerovaLogger.h"

namespace {

// Hashes are unique per process; they start at a random point so that log
// lines of two runs do not name sessions alike.
std::uint64_t nextHash() {
    static std::atomic<std::uint64_t> next{[] {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32 | device()) & 0x0000FFFFFFFFFF00ull;
    }()};
    return next.fetch_add(0x10);
}

}  // namespace

NRVURLSession::NRVURLSession(const std::shared_ptr<platform::http::Engine>& engine,
                             NRVURLBrokerConfigurationRef configuration)
    : hash_(nextHash()), configuration_(std::move(configuration)) {
    transport_ = engine->createSession(routeForConfiguration(configuration_.get()));
}

// Sixteen upper-case hexadecimal digits, by hand: several lines of every
// request carry a session's hash, and printf was a large part of their cost.
std::string NRVURLSession::hashText(std::uint64_t hash) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i, hash >>= 4) text[static_cast<std::size_t>(i)] = kDigits[hash & 0xF];
    return text;
}

platform::http::ProxyRoute NRVURLSession::routeForConfiguration(const NRVURLBrokerConfiguration* configuration) {
    using platform::http::ProxyRoute;
    ProxyRoute route;
    if (!configuration) return route;
    switch (configuration->proxyConfigType()) {
    case NRVURLBrokerConfiguration::kCustomConfiguration:
    case NRVURLBrokerConfiguration::kMessageRelayConfiguration:
        route.mode = ProxyRoute::Mode::Explicit;
        route.host = configuration->proxyHostname().value_or("");
        route.port = static_cast<std::uint16_t>(configuration->proxyPort() > 65535 ? 0 : configuration->proxyPort());
        break;
    case NRVURLBrokerConfiguration::kNoProxyConfiguration:
        route.mode = ProxyRoute::Mode::None;
        break;
    default:
        route.mode = ProxyRoute::Mode::System;
        break;
    }
    return route;
}

void NRVURLSession::resetWithCompletionHandler(const std::function<void()>& completion) {
    const std::string hash = hashText();
    transport_->reset([completion, hash] {
        NerovaLogger::session().log("Session " + hash + " reset");
        if (completion) completion();
    });
}

void NRVURLSession::finishTasksAndInvalidate() { transport_->finishTasksAndInvalidate(); }
