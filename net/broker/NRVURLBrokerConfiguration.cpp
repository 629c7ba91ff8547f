#include "net/broker/NRVURLBrokerConfiguration.h"

#include <limits>

#include "foundation/NSDictionaryExtensions.h"
#include "foundation/NerovaLogger.h"
#include "ipc/xpc/NRVKeyedArchive.h"
#include "ipc/keychain/NRVSystemKeychain.h"
#include "net/broker/NRVProxyDictionaryKeys.h"

namespace {

NRVURLBrokerConfigurationRef withProxy(std::uint64_t type, const std::optional<std::string>& host, std::uint64_t port,
                                       std::optional<std::string> username, std::optional<std::string> password) {
    if (!host || host->empty() || port == 0) return nullptr;
    auto c = NRVURLBrokerConfiguration::initWithType(type);
    c->setProxyHostname(*host);
    c->setProxyPort(port);
    c->setProxyUsername(std::move(username));
    c->setProxyPassword(std::move(password));
    return c;
}

NRVValue number(std::uint64_t v) {
    // Archives and property lists carry signed integers.
    return NRVValue(static_cast<long long>(v > static_cast<std::uint64_t>(std::numeric_limits<long long>::max())
                                               ? std::numeric_limits<long long>::max()
                                               : v));
}

// false when the key holds something other than a string.
bool decodeString(const NRVDictionary& coder, const char* key, std::optional<std::string>& out) {
    const NRVValue* v = coder.find(key);
    if (!v) return true;
    const std::string* s = v->asString();
    if (!s) return false;
    out = *s;
    return true;
}

bool decodeUnsigned(const NRVDictionary& coder, const char* key, std::uint64_t& out) {
    const NRVValue* v = coder.find(key);
    if (!v) return true;
    const std::int64_t* i = v->asInteger();
    if (!i || *i < 0) return false;
    out = static_cast<std::uint64_t>(*i);
    return true;
}

NRVURLAuthenticationAnswer failed(const std::string& text) {
    NerovaLogger::session().log("HTTPS challenge failed - " + text);
    return NRVURLAuthenticationAnswer::cancel();
}

NRVURLAuthenticationAnswer stockChallengeHandler(const NRVURLAuthenticationChallenge& challenge,
                                                 const NRVURLRequest*) {
    const NRVURLProtectionSpace& space = challenge.protectionSpace;
    if (space.authenticationMethod != NRVURLAuthenticationMethod::kServerTrust)
        return NRVURLAuthenticationAnswer::cancel();
    NerovaLogger::session().log("Received HTTPS challenge during upload");
    if (!space.serverTrust) return failed("Could not obtain SSL transaction state");
    NRVCertificateArray anchors = NRVSystemKeychain::rootCAs();
    if (!anchors || anchors->empty()) return failed("Missing verification certificate(s)");
    space.serverTrust->setAnchorCertificates(std::move(anchors));
    space.serverTrust->setAnchorCertificatesOnly(true);
    NRVTrustResult result = space.serverTrust->evaluate();
    if (result != NRVTrustResult::kUnspecified)
        return failed("SecTrustResultType: " + std::to_string(static_cast<std::uint32_t>(result)));
    NerovaLogger::session().log("HTTPS challenge passed");
    return NRVURLAuthenticationAnswer::useCredential(NRVURLCredential::credentialForTrust(space.serverTrust));
}

}  // namespace

NRVURLBrokerConfiguration::NRVURLBrokerConfiguration(std::uint64_t type)
    : proxyHostname_(""), proxyUsername_(""), proxyPassword_(""), proxyConfigType_(type) {}

NRVURLBrokerConfigurationRef NRVURLBrokerConfiguration::initWithType(std::uint64_t type) {
    return std::make_shared<NRVURLBrokerConfiguration>(type);
}

NRVURLBrokerConfigurationRef NRVURLBrokerConfiguration::systemConfiguration() {
    return initWithType(kSystemConfiguration);
}

NRVURLBrokerConfigurationRef NRVURLBrokerConfiguration::defaultConfiguration() {
    return initWithType(kDefaultConfiguration);
}

NRVURLBrokerConfigurationRef NRVURLBrokerConfiguration::noProxyConfiguration() {
    return initWithType(kNoProxyConfiguration);
}

NRVURLBrokerConfigurationRef NRVURLBrokerConfiguration::customConfigurationWithProxy(
    const std::optional<std::string>& host, std::uint64_t port, std::optional<std::string> username,
    std::optional<std::string> password) {
    return withProxy(kCustomConfiguration, host, port, std::move(username), std::move(password));
}

NRVURLBrokerConfigurationRef NRVURLBrokerConfiguration::messageRelayConfigurationWithHostname(
    const std::optional<std::string>& host, std::uint64_t port, std::optional<std::string> username,
    std::optional<std::string> password) {
    return withProxy(kMessageRelayConfiguration, host, port, std::move(username), std::move(password));
}

std::optional<NRVDictionary> NRVURLBrokerConfiguration::proxyConfiguration() const {
    namespace K = NRVProxyDictionaryKeys;
    if (proxyConfigType_ == kNoProxyConfiguration) return NRVDictionary{};
    if (proxyConfigType_ != kCustomConfiguration && proxyConfigType_ != kMessageRelayConfiguration)
        return std::nullopt;
    NRVValue host = proxyHostname_ ? NRVValue(*proxyHostname_) : NRVValue();
    NRVDictionary d;
    d.set(K::kHTTPEnable, 1);
    d.set(K::kHTTPProxy, host);
    d.set(K::kHTTPPort, number(proxyPort_));
    d.set(K::kHTTPSEnable, 1);
    d.set(K::kHTTPSProxy, host);
    d.set(K::kHTTPSPort, number(proxyPort_));
    return d;
}

NRVDictionary NRVURLBrokerConfiguration::dictionaryForReport() const {
    NRVDictionary d;
    if (proxyHostname_) d.set(kAddressKey, *proxyHostname_);
    d.set(kPortKey, number(proxyPort_));
    if (proxyUsername_) {
        d.set(kUsernameKey, *proxyUsername_);
        if (proxyPassword_) d.set(kPasswordKey, "<password>");
    }
    d.set(kProxyConfigKey, number(proxyConfigType_));
    return d;
}

std::string NRVURLBrokerConfiguration::description() const {
    return NSDictionaryExtensions::singleLineDescription(dictionaryForReport());
}

void NRVURLBrokerConfiguration::encodeWithCoder(NRVDictionary& coder) const {
    if (proxyHostname_) coder.set(kAddressKey, *proxyHostname_);
    coder.set(kPortKey, number(proxyPort_));
    if (proxyUsername_) coder.set(kUsernameKey, *proxyUsername_);
    if (proxyPassword_) coder.set(kPasswordKey, *proxyPassword_);
    coder.set(kProxyConfigKey, number(proxyConfigType_));
}

NRVURLBrokerConfigurationRef NRVURLBrokerConfiguration::initWithCoder(const NRVDictionary& coder) {
    NRVURLBrokerConfigurationRef c(new NRVURLBrokerConfiguration());
    if (!decodeString(coder, kAddressKey, c->proxyHostname_) || !decodeUnsigned(coder, kPortKey, c->proxyPort_) ||
        !decodeString(coder, kUsernameKey, c->proxyUsername_) ||
        !decodeString(coder, kPasswordKey, c->proxyPassword_) ||
        !decodeUnsigned(coder, kProxyConfigKey, c->proxyConfigType_))
        return nullptr;
    return c;
}

NRVData NRVURLBrokerConfiguration::archivedData() const {
    NRVDictionary fields;
    encodeWithCoder(fields);
    NRVDictionary record;
    record.set("$class", kClassName);
    record.set("fields", std::move(fields));
    return NRVKeyedArchive::archivedDataWithRootObject(NRVValue(std::move(record))).value_or(NRVData{});
}

NRVURLBrokerConfigurationRef NRVURLBrokerConfiguration::unarchivedFromData(const NRVData& data) {
    NRVValue root = NRVKeyedArchive::unarchivedRootObject(data);
    const NRVValue* cls = root["$class"];
    const NRVValue* fields = root["fields"];
    if (!cls || !cls->asString() || *cls->asString() != kClassName || !fields || !fields->asDictionary())
        return nullptr;
    return initWithCoder(*fields->asDictionary());
}

const NRVURLAuthenticationHandler& NRVURLBrokerConfiguration::defaultHTTPSChallengeHandler() {
    static const NRVURLAuthenticationHandler handler = stockChallengeHandler;
    return handler;
}
