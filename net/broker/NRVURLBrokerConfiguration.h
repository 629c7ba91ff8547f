// Which route a URL broker, or one session of its container, takes to the
// network: the machine's proxy settings, the product's routes, a custom
// proxy, a message relay or a direct connection. It gives the proxy
// dictionary of its session, archives itself, describes itself for logs
// with the password masked, and offers the stock HTTPS challenge handler.
//
// Threading: a configuration is built, then read; share it between threads
// only once it no longer changes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/session/NRVURLAuthenticationChallenge.h"
#include "platform/value/NRVValue.h"

class NRVURLBrokerConfiguration;
using NRVURLBrokerConfigurationRef = std::shared_ptr<NRVURLBrokerConfiguration>;

class NRVURLBrokerConfiguration {
public:
    enum ProxyConfigType : std::uint64_t {
        kSystemConfiguration = 0,
        kDefaultConfiguration = 1,
        kCustomConfiguration = 2,
        kNoProxyConfiguration = 3,
        kMessageRelayConfiguration = 4,
    };

    // Archive keys and class name.
    static constexpr const char* kClassName = "NRVURLBrokerConfiguration";
    static constexpr const char* kAddressKey = "address";
    static constexpr const char* kPortKey = "port";
    static constexpr const char* kUsernameKey = "username";
    static constexpr const char* kPasswordKey = "password";
    static constexpr const char* kProxyConfigKey = "proxyConfig";
    static constexpr bool supportsSecureCoding() { return true; }

    // Host, user name and password "", port 0, both flags false.
    explicit NRVURLBrokerConfiguration(std::uint64_t type);
    static NRVURLBrokerConfigurationRef initWithType(std::uint64_t type);

    static NRVURLBrokerConfigurationRef systemConfiguration();
    static NRVURLBrokerConfigurationRef defaultConfiguration();
    static NRVURLBrokerConfigurationRef noProxyConfiguration();
    // nullptr when the host is missing or empty or the port is 0.
    static NRVURLBrokerConfigurationRef customConfigurationWithProxy(const std::optional<std::string>& host,
                                                                     std::uint64_t port,
                                                                     std::optional<std::string> username,
                                                                     std::optional<std::string> password);
    static NRVURLBrokerConfigurationRef messageRelayConfigurationWithHostname(const std::optional<std::string>& host,
                                                                              std::uint64_t port,
                                                                              std::optional<std::string> username,
                                                                              std::optional<std::string> password);

    // The session's proxy dictionary: HTTP and HTTPS proxy for a custom
    // proxy or a relay, an empty dictionary for the direct route (no proxy
    // whatever the machine says), nullopt (the machine's settings) otherwise.
    std::optional<NRVDictionary> proxyConfiguration() const;

    // "address", "port", "username", "password" ("<password>" when set, and
    // only when a user name is set), "proxyConfig"; nil values left out.
    NRVDictionary dictionaryForReport() const;
    std::string description() const;

    // The fields under the archive keys; the two flags are not archived.
    void encodeWithCoder(NRVDictionary& coder) const;
    // nullptr when a key holds the wrong kind of value (a string key not a
    // string, a number key not a non-negative integer). Absent strings stay
    // nil, absent numbers 0; both flags false.
    static NRVURLBrokerConfigurationRef initWithCoder(const NRVDictionary& coder);
    // A keyed archive of the fields, and back; nullptr for data that is not one.
    NRVData archivedData() const;
    static NRVURLBrokerConfigurationRef unarchivedFromData(const NRVData& data);

    // The one shared handler (the same object on every call): accepts a TLS
    // server only when its chain leads to the system's anchor certificates
    // and the evaluation result is kUnspecified; cancels everything else,
    // password challenges included.
    static const NRVURLAuthenticationHandler& defaultHTTPSChallengeHandler();

    bool discardIfInvalid() const { return discardIfInvalid_; }
    void setDiscardIfInvalid(bool v) { discardIfInvalid_ = v; }
    bool enableSmartReset() const { return enableSmartReset_; }
    void setEnableSmartReset(bool v) { enableSmartReset_ = v; }
    const std::optional<std::string>& proxyHostname() const { return proxyHostname_; }
    void setProxyHostname(std::optional<std::string> v) { proxyHostname_ = std::move(v); }
    std::uint64_t proxyPort() const { return proxyPort_; }
    void setProxyPort(std::uint64_t v) { proxyPort_ = v; }
    const std::optional<std::string>& proxyUsername() const { return proxyUsername_; }
    void setProxyUsername(std::optional<std::string> v) { proxyUsername_ = std::move(v); }
    const std::optional<std::string>& proxyPassword() const { return proxyPassword_; }
    void setProxyPassword(std::optional<std::string> v) { proxyPassword_ = std::move(v); }
    std::uint64_t proxyConfigType() const { return proxyConfigType_; }
    void setProxyConfigType(std::uint64_t v) { proxyConfigType_ = v; }

private:
    NRVURLBrokerConfiguration() = default;  // a decoded object: nil strings

    bool discardIfInvalid_ = false;
    bool enableSmartReset_ = false;
    std::optional<std::string> proxyHostname_;
    std::uint64_t proxyPort_ = 0;
    std::optional<std::string> proxyUsername_;
    std::optional<std::string> proxyPassword_;
    std::uint64_t proxyConfigType_ = kSystemConfiguration;
};
