#include "net/session/NRVURLSessionHandler.h"

#include <algorithm>

#include "foundation/NRVDispatchExtensions.h"
#include "foundation/NerovaLogger.h"
#include "ipc/xpc/NRVConfigData.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "net/broker/NRVNetworkSettings.h"
#include "net/session/NRVURLSessionHandlerInternal.h"
#include "net/url/NetworkUtility.h"
#include "settings-client/NRVConfigXPCProtocol.h"

namespace {

const NRVLogHandle& sessionLog() { return NerovaLogger::session(); }

}  // namespace

// --- proxy configuration ----------------------------------------------------

// The machine's proxy for a URL, as the system-settings route takes it:
// the HTTPS or HTTP entry by the URL's scheme, none for the hosts and domains
// of the exceptions list.
std::optional<platform::http::ProxyRoute> NRVSystemProxyForURL(const std::string& url) {
    using platform::http::ProxyRoute;
    namespace keys = platform::proxy::keys;
    const NRVDictionary settings = NRVNetworkSettings::currentProxySettings().dictionary;
    ProxyRoute direct{ProxyRoute::Mode::None, "", 0};
    const bool secure = url.rfind("https:", 0) == 0 || url.rfind("wss:", 0) == 0;
    const NRVValue* enable = settings.find(secure ? keys::kHTTPSEnable : keys::kHTTPEnable);
    const NRVValue* host = settings.find(secure ? keys::kHTTPSProxy : keys::kHTTPProxy);
    const NRVValue* port = settings.find(secure ? keys::kHTTPSPort : keys::kHTTPPort);
    if (!enable || !enable->asInteger() || *enable->asInteger() != 1 || !host || !host->asString() || !port ||
        !port->asInteger() || *port->asInteger() <= 0 || *port->asInteger() > 65535) {
        return direct;
    }
    const std::string target = NetworkUtility::extractHost(url);
    if (const NRVValue* exceptions = settings.find(keys::kExceptionsList); exceptions && exceptions->asArray()) {
        for (const NRVValue& entry : *exceptions->asArray()) {
            const std::string* text = entry.asString();
            if (!text || text->empty()) continue;
            // "*" names every host; "*.example.org" the same domain as ".example.org".
            if (*text == "*") return direct;
            const std::string pattern = text->rfind("*.", 0) == 0 ? text->substr(1) : *text;
            const std::string suffix = pattern[0] == '.' ? pattern : "." + pattern;
            if (target == pattern || (target.size() > suffix.size() &&
                                      target.compare(target.size() - suffix.size(), suffix.size(), suffix) == 0)) {
                return direct;
            }
        }
    }
    return ProxyRoute{ProxyRoute::Mode::Explicit, *host->asString(), static_cast<std::uint16_t>(*port->asInteger())};
}

// The proxy an attempt on `session` for `url` goes through: the route's own
// for custom proxies and relays, the machine's for the system route (as the
// engine takes it), none for the direct route.
std::optional<platform::http::ProxyRoute> NRVProxyInUseForSession(const NRVURLSessionRef& session, const std::string& url) {
    using platform::http::ProxyRoute;
    ProxyRoute route = NRVURLSession::routeForConfiguration(session->configuration().get());
    if (route.mode == ProxyRoute::Mode::System) {
        route = NRVSystemProxyForURL(url).value_or(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    }
    if (route.mode != ProxyRoute::Mode::Explicit) return std::nullopt;
    return route;
}

// --- settings ---------------------------------------------------------------

namespace {

// One bounded read of the settings service: the reply's payload (null when
// the setting is not there, or the reply holds no settings record), or
// nullopt when the read failed (no connection, or no reply within 500 ms).
std::optional<NRVValue> readSetting(const std::shared_ptr<NRVXPCClientHelper>& helper, std::int64_t serviceType,
                                    const std::string& key) {
    if (!helper) return std::nullopt;
    struct Outcome {
        std::mutex mutex;
        bool replied = false;
        NRVValue payload;
    };
    auto outcome = std::make_shared<Outcome>();
    auto group = platform::dispatch::DispatchGroup::create();
    auto once = std::make_shared<std::atomic<bool>>(false);
    dispatch_group_safe_enter(group);
    auto proxy = helper->remoteObjectProxyForService(
        NRVURLSessionHandler::kSettingsService, [group, once](const std::string& error) {
            NerovaLogger::session().error(std::string("XPC connection error to ") +
                                          NRVURLSessionHandler::kSettingsService + ". Error: " + error);
            if (!once->exchange(true)) dispatch_group_safe_leave(group);
        });
    if (!proxy) {
        if (!once->exchange(true)) dispatch_group_safe_leave(group);
    } else {
        proxy->call(NRVConfigXPCProtocol::kObjectForServiceType, platform::xpc::Values{serviceType, key},
                    [outcome, group, once](const platform::xpc::Values& values) {
                        NRVValue payload;
                        if (!values.empty()) {
                            if (const platform::xpc::CodedRecord* record = values[0].record();
                                record && record->className == NRVConfigData::kClassName) {
                                if (auto data = NRVConfigData::initWithCoder(record->fields)) payload = data->payload();
                            }
                        }
                        {
                            std::lock_guard<std::mutex> lock(outcome->mutex);
                            outcome->replied = true;
                            outcome->payload = std::move(payload);
                        }
                        if (!once->exchange(true)) dispatch_group_safe_leave(group);
                    });
    }
    // Bounded like every settings call: a service that hangs must not hang
    // the thread that delivers the change notification.
    if (dispatch_group_safe_wait(group, platform::dispatch::dispatchTime(platform::dispatch::DISPATCH_TIME_NOW,
                                                                         500 * platform::dispatch::NSEC_PER_MSEC)) != 0) {
        NerovaLogger::session().error(std::string("Connection to ") + NRVURLSessionHandler::kSettingsService +
                                      " timed out");
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(outcome->mutex);
    if (!outcome->replied) return std::nullopt;
    return outcome->payload;
}

}  // namespace

void NRVURLSessionHandler::configSettingsChanged(const NRVDictionary* payload) {
    std::optional<std::string> key;
    if (payload) {
        if (const NRVValue* k = payload->find(kSettingsKeyModified); k && k->asString()) key = *k->asString();
    }
    static const char* const kProxyKeys[] = {"ProxyConfiguration", "PrimaryServerProxyURL", "PrimaryServerProxyPort",
                                             "PrimaryServerProxyCredentials"};
    const bool proxyKey = !key || std::find_if(std::begin(kProxyKeys), std::end(kProxyKeys),
                                               [&](const char* k) { return *key == k; }) != std::end(kProxyKeys);
    if (proxyKey) {
        sessionLog().log("configSettingsChanged(): connection setting changed; key = " + key.value_or("<nil>"));
        // A nil reply is an answer: the setting was removed. Only a failed
        // read keeps what was there.
        if (auto value = readSetting(clientHelper_, 2, "ProxyConfiguration")) {
            const bool removed = storeSetting(customProxyConfig_, *value);
            sessionLog().log("configSettingsChanged(): payload: " +
                             std::string(value->isNull() ? "(null)" : value->isDictionary() ? "{...}" : "?"));
            if (!value->isNull() || removed) {
                sessionLog().log("Dictionary changed: scheduling refreshContainers() call...");
                refreshContainers();
            }
        }
    }
    if (!key || *key == "NRVMcsMessageRelaysToUse") {
        sessionLog().log("configSettingsChanged(): msg relay connection setting changed; key = " +
                         key.value_or("<nil>"));
        if (auto value = readSetting(clientHelper_, 1, "NRVMcsMessageRelaysToUse")) {
            const bool removed = storeSetting(messageRelayConfigs_, *value);
            if (!value->isNull() || removed) {
                sessionLog().log("Array changed: scheduling refreshContainers() call...");
                refreshContainers();
            }
        }
    }
}

bool NRVURLSessionHandler::storeSetting(NRVValue& setting, const NRVValue& value) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    const bool removed = value.isNull() && !setting.isNull();
    setting = value;
    return removed;
}

void NRVURLSessionHandler::configFromBootstrapper(const NRVDictionary& dictionary) {
    if (dictionary.empty()) return;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        const NRVValue* proxy = dictionary.find("ProxyConfiguration");
        const NRVValue* relays = dictionary.find("NRVMcsMessageRelaysToUse");
        customProxyConfig_ = proxy ? *proxy : NRVValue();
        messageRelayConfigs_ = relays ? *relays : NRVValue();
    }
    refreshContainers();
}

NRVValue NRVURLSessionHandler::messageRelayConfigs() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return messageRelayConfigs_;
}

NRVValue NRVURLSessionHandler::customProxyConfig() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return customProxyConfig_;
}

NRVURLSessionHandler::InternalConfiguration NRVURLSessionHandler::internalConfiguration() const {
    NRVValue proxy = customProxyConfig();
    NRVValue relays = messageRelayConfigs();
    InternalConfiguration result;
    std::optional<std::string> user, password;
    if (const NRVDictionary* p = proxy.asDictionary(); p && !p->empty()) {
        auto text = [&](const char* k) -> std::optional<std::string> {
            const NRVValue* v = p->find(k);
            return v && v->asString() ? std::optional<std::string>(*v->asString()) : std::nullopt;
        };
        std::uint64_t port = 0;
        if (const NRVValue* v = p->find("ProxyPort"); v && v->asInteger() && *v->asInteger() > 0) {
            port = static_cast<std::uint64_t>(*v->asInteger());
        }
        user = text("ProxyUserName");
        password = text("ProxyPassword");
        result.customProxyConfiguration =
            NRVURLBrokerConfiguration::customConfigurationWithProxy(text("ProxyURL"), port, user, password);
    }
    if (const NRVArray* list = relays.asArray()) {
        for (const NRVValue& entry : *list) {
            const NRVDictionary* relay = entry.asDictionary();
            if (!relay) continue;
            std::optional<std::string> host;
            if (const NRVValue* v = relay->find("MessageRelayAddress"); v && v->asString()) host = *v->asString();
            std::uint64_t port = 0;
            if (const NRVValue* v = relay->find("MessageRelayPort"); v && v->asInteger() && *v->asInteger() > 0) {
                port = static_cast<std::uint64_t>(*v->asInteger());
            }
            if (auto configuration =
                    NRVURLBrokerConfiguration::messageRelayConfigurationWithHostname(host, port, user, password)) {
                result.messageRelayConfiguration.push_back(configuration);
            }
        }
    }
    return result;
}

void NRVURLSessionHandler::trimMessageRelayFromConfig(const std::string& host) {
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        NRVArray kept;
        if (const NRVArray* list = messageRelayConfigs_.asArray()) {
            for (const NRVValue& entry : *list) {
                const NRVValue* address = entry["MessageRelayAddress"];
                if (address && address->asString() && *address->asString() == host) {
                    sessionLog().log("Trimming message relay from config: " + host);
                    continue;
                }
                kept.push_back(entry);
            }
        }
        messageRelayConfigs_ = kept.empty() ? NRVValue() : NRVValue(std::move(kept));
    }
    refreshContainers();
}
