// One route of a broker's container: a URL session made from one broker
// configuration (system proxy, a custom proxy or message relay, or no
// proxy). Ephemeral: its cookies live in memory and go with a reset.
// Sessions are named in logs by their hash, as 16 hexadecimal digits.
//
// Threading: every call is thread-safe; resetWithCompletionHandler runs its
// block on the caller's thread before returning, so a reset never waits on
// the transfer thread or on any queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/broker/NRVURLBrokerConfiguration.h"
#include "platform/http/HttpEngine.h"

class NRVURLSession;
using NRVURLSessionRef = std::shared_ptr<NRVURLSession>;

class NRVURLSession {
public:
    NRVURLSession(const std::shared_ptr<platform::http::Engine>& engine, NRVURLBrokerConfigurationRef configuration);

    std::uint64_t hash() const { return hash_; }
    // "%016lX" of the hash.
    std::string hashText() const { return hashText(hash_); }
    static std::string hashText(std::uint64_t hash);

    const NRVURLBrokerConfigurationRef& configuration() const { return configuration_; }
    const std::shared_ptr<platform::http::Session>& transport() const { return transport_; }
    // The route of a configuration: its proxy for custom proxies and relays,
    // none for the direct route, the machine's settings otherwise.
    static platform::http::ProxyRoute routeForConfiguration(const NRVURLBrokerConfiguration* configuration);

    void resetWithCompletionHandler(const std::function<void()>& completion);
    void finishTasksAndInvalidate();

private:
    std::uint64_t hash_;
    NRVURLBrokerConfigurationRef configuration_;
    std::shared_ptr<platform::http::Session> transport_;
};
