#include "net/NRVURLSessionHandler.h"

#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "foundation/NRVDispatchExtensions.h"
#include "foundation/NRVQueueMonitor.h"
#include "foundation/NSErrorExtensions.h"
#include "foundation/NerovaLogger.h"
#include "ipc/NRVConfigData.h"
#include "ipc/NRVDistributedNotification.h"
#include "ipc/NRVXPCClientHelper.h"
#include "net/NRVLogRedaction.h"
#include "net/NRVServerTrust.h"
#include "net/NRVNetworkSettings.h"
#include "net/NetworkUtility.h"
#include "foundation/NRVDateFormatter.h"
#include "platform/thread/ThreadNumber.h"
#include "net/NRVURLSessionHandlerInternal.h"
#include "net/NRVWebSocketTask.h"
#include "platform/system/SystemEnvironment.h"
#include "settings-client/NRVConfigXPCProtocol.h"
#include "platform/memory/NoDestructor.h"

using platform::dispatch::DispatchQueue;
using platform::http::TransferErrorKind;
using platform::http::TransferResult;

namespace {

const NRVLogHandle& sessionLog() { return NerovaLogger::session(); }

constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
// A hostile server could ask for passwords forever; a handler that keeps
// answering is stopped after this many refusals.
constexpr long kMaximumChallengeRounds = 5;

NRVErrorRef handlerError(std::int64_t code, const std::string& description) {
    return std::make_shared<NRVError>(NRVURLSessionHandler::kErrorDomain, code,
                                      description.empty() ? "Unknown NRVURLSession operation error" : description);
}

std::string brokerText(const std::string& brokerID) { return brokerID.empty() ? "<nil>" : brokerID; }

NRVErrorRef urlError(std::int64_t code, const std::string& description, const std::string& detail = {}) {
    auto error = std::make_shared<NRVError>(kURLErrorDomain, code, description);
    if (!detail.empty()) error->underlyingError = std::make_shared<NRVError>("libcurl", 0, detail);
    return error;
}

}  // namespace

// The platform's URL error for a transfer failure.
NRVErrorRef NRVURLErrorForTransferResult(const TransferResult& result) {
    switch (result.kind) {
    case TransferErrorKind::None: return nullptr;
    case TransferErrorKind::Cancelled: return urlError(-999, "cancelled", result.message);
    case TransferErrorKind::ConnectFailed: return urlError(-1004, "Could not connect to the server.", result.message);
    case TransferErrorKind::HostNotFound:
        return urlError(-1003, "A server with the specified hostname could not be found.", result.message);
    case TransferErrorKind::TimedOut: return urlError(-1001, "The request timed out.", result.message);
    case TransferErrorKind::ServerTrustRefused: {
        auto error = std::make_shared<NRVError>(kURLErrorDomain, -1202, "The certificate for this server is invalid.");
        auto underlying = std::make_shared<NRVError>("libcurl", 0, result.message);
        // Why the chain was refused (expired, wrong name, weak key) travels
        // with the error and reaches the failure line through the underlying one.
        if (!result.trustFailureReason.empty()) {
            error->localizedFailureReason = result.trustFailureReason;
            underlying->localizedFailureReason = result.trustFailureReason;
        }
        error->underlyingError = std::move(underlying);
        return error;
    }
    case TransferErrorKind::SecureConnectionFailed:
        return urlError(-1200, "An SSL error has occurred and a secure connection to the server cannot be made.",
                        result.message);
    case TransferErrorKind::UnsupportedURL: return urlError(-1002, "unsupported URL", result.message);
    case TransferErrorKind::ConnectionLost: return urlError(-1005, "The network connection was lost.", result.message);
    case TransferErrorKind::TooLarge: return urlError(-1103, "resource exceeds maximum size", result.message);
    case TransferErrorKind::ProxyFailed:
        return urlError(310, "There was a problem communicating with the web proxy server.", result.message);
    case TransferErrorKind::BadResponse: return urlError(-1011, "The server returned an invalid response.", result.message);
    case TransferErrorKind::FileError: return urlError(-3000, "cannot create file", result.message);
    case TransferErrorKind::Other: break;
    }
    return urlError(-1, "unknown error", result.message);
}

namespace {

NRVHTTPURLResponseRef responseFromHead(const std::optional<platform::http::ResponseHead>& head) {
    if (!head) return nullptr;
    NRVDictionary fields;
    for (const auto& [name, value] : head->headers) {
        if (NRVValue* existing = fields.find(name); existing && existing->asString()) {
            fields.set(name, *existing->asString() + ", " + value);
        } else {
            fields.set(name, value);
        }
    }
    return std::make_shared<NRVHTTPURLResponse>(head->url, head->status, std::move(fields));
}

std::string methodOf(const NRVURLRequest& request) { return request.HTTPMethod.empty() ? "GET" : request.HTTPMethod; }

platform::http::Request transportRequest(const NRVURLRequest& request) {
    platform::http::Request r;
    r.url = request.URL;
    r.method = methodOf(request);
    r.headers = request.allHTTPHeaderFields;
    if (!request.HTTPBody.empty()) {
        r.body = std::make_shared<const std::string>(request.HTTPBody.begin(), request.HTTPBody.end());
    }
    r.idleTimeoutMs = request.timeoutInterval > 0 ? static_cast<long>(request.timeoutInterval * 1000) : 0;
    return r;
}

std::string newDownloadPath() {
    std::random_device device;
    char name[64];
    std::snprintf(name, sizeof name, "CFNetworkDownload_%08X%08X.tmp", device(), device());
    return platform::temporaryDirectory() + name;
}

std::string errorText(const NRVErrorRef& error) { return error ? error->localizedDescription : "<nil>"; }

// The challenge kind a refused answer stands for: Basic or Digest from the
// authentication header, or nothing for other schemes.
std::optional<std::string> passwordMethod(const NRVHTTPURLResponseRef& response, const char* header) {
    const std::string* value = response ? response->valueForHTTPHeaderField(header) : nullptr;
    if (!value) return std::nullopt;
    std::string lower = *value;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.find("digest") != std::string::npos) return std::string(NRVURLAuthenticationMethod::kHTTPDigest);
    if (lower.find("basic") != std::string::npos) return std::string(NRVURLAuthenticationMethod::kHTTPBasic);
    return std::nullopt;
}

// The machine's proxy for a URL, as the system-settings route takes it:
// the HTTPS or HTTP entry by the URL's scheme, none for the hosts and domains
// of the exceptions list.
std::optional<platform::http::ProxyRoute> systemProxyFor(const std::string& url) {
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
std::optional<platform::http::ProxyRoute> proxyInUse(const NRVURLSessionRef& session, const std::string& url) {
    using platform::http::ProxyRoute;
    ProxyRoute route = NRVURLSession::routeForConfiguration(session->configuration().get());
    if (route.mode == ProxyRoute::Mode::System) {
        route = systemProxyFor(url).value_or(ProxyRoute{ProxyRoute::Mode::None, "", 0});
    }
    if (route.mode != ProxyRoute::Mode::Explicit) return std::nullopt;
    return route;
}

}  // namespace

// --- creation ---------------------------------------------------------------

NRVURLSessionHandler::NRVURLSessionHandler()
    : taskQueue_(DispatchQueue::createSerial("com.nerova.nrvurlsession.handler.taskqueue")),
      engine_(platform::http::Engine::create("com.nerova.nrvurlsession.handler")) {}

std::shared_ptr<NRVURLSessionHandler> NRVURLSessionHandler::createDetached() {
    auto handler = std::shared_ptr<NRVURLSessionHandler>(new NRVURLSessionHandler);
    NRVQueueMonitor::monitorDispatchQueue(handler->taskQueue_);
    handler->engine_->setSystemProxyResolver(&systemProxyFor);
    return handler;
}

std::shared_ptr<NRVURLSessionHandler> NRVURLSessionHandler::create() {
    auto handler = createDetached();
    handler->distributedNotification_ = NRVDistributedNotification::create();
    handler->clientHelper_ = std::make_shared<NRVXPCClientHelper>();
    handler->setup();
    std::weak_ptr<NRVURLSessionHandler> weak = handler;
    handler->distributedNotification_->subscribeName(kSettingsChangedNotification,
                                                     [weak](const std::string&, const NRVValue& object) {
                                                         if (auto self = weak.lock()) {
                                                             self->configSettingsChanged(object.asDictionary());
                                                         }
                                                     });
    NRVNetworkSettings::monitorProxyChangeWithNotificationBlock([weak] {
        if (auto self = weak.lock()) self->refreshContainers();
    });
    NerovaLogger::session().log("NRVURLSessionHandler created");
    return handler;
}

NRVURLSessionHandler::~NRVURLSessionHandler() {
    NerovaLogger::session().log("Stopping all services");
    sseState_ = 3;
    if (clientHelper_) clientHelper_->disconnectService(kSettingsService);
    if (distributedNotification_) distributedNotification_->unsubscribeAllNames();
    if (pingTimer_) pingTimer_->cancel();
    for (const auto& task : webSocketTasks_) task->cancelWithCloseCode(NRVWebSocketTask::kGoingAway, "");
}

namespace {

std::atomic<std::int64_t>& settingsConnectWaitMilliseconds() {
    static std::atomic<std::int64_t> wait{NRVURLSessionHandler::kSettingsConnectWait.count()};
    return wait;
}

}  // namespace

void NRVURLSessionHandler::setSettingsConnectWaitForUnitTest(std::chrono::milliseconds wait) {
    settingsConnectWaitMilliseconds().store(wait.count());
}

void NRVURLSessionHandler::setup() {
    auto group = platform::dispatch::DispatchGroup::create();
    dispatch_group_safe_enter(group);
    std::weak_ptr<NRVURLSessionHandler> weak = shared_from_this();
    auto left = std::make_shared<std::atomic<bool>>(false);
    clientHelper_->connectService(kSettingsService, NRVConfigXPCProtocol::protocol(),
                                  [weak, group, left](const NRVXPCProxy& proxy) {
                                      if (proxy) {
                                          NerovaLogger::xpc().log(std::string("Connected to xpc service '") +
                                                                  kSettingsService + "'");
                                          if (auto self = weak.lock()) self->configSettingsChanged(nullptr);
                                          if (!left->exchange(true)) dispatch_group_safe_leave(group);
                                      } else {
                                          NerovaLogger::xpc().error(std::string("Connection lost to xpc service '") +
                                                                    kSettingsService + "'");
                                      }
                                  });
    const std::int64_t wait = settingsConnectWaitMilliseconds().load();
    dispatch_group_safe_wait(group, platform::dispatch::dispatchTime(platform::dispatch::DISPATCH_TIME_NOW,
                                                                     wait * platform::dispatch::NSEC_PER_MSEC));
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

// --- brokers and containers -------------------------------------------------

NRVURLSessionRef NRVURLSessionHandler::URLSessionWithConfiguration(const NRVURLBrokerConfigurationRef& configuration) {
    return std::make_shared<NRVURLSession>(engine_, configuration);
}

NRVURLSessionContainerRef NRVURLSessionHandler::containerForConfig(const NRVURLBrokerConfigurationRef& configuration) {
    auto container = std::make_shared<NRVURLSessionContainer>(configuration);
    const std::uint64_t type = configuration ? configuration->proxyConfigType() : 0;
    auto add = [&](const NRVURLBrokerConfigurationRef& c, const char* text) {
        auto session = URLSessionWithConfiguration(c);
        container->addSession(session, c);
        sessionLog().debug(std::string(text) + " " + session->hashText() + " to container");
    };
    switch (type) {
    case NRVURLBrokerConfiguration::kSystemConfiguration: break;
    case NRVURLBrokerConfiguration::kDefaultConfiguration: {
        InternalConfiguration internal = internalConfiguration();
        for (const auto& relay : internal.messageRelayConfiguration) add(relay, "Added message relay config session");
        if (internal.customProxyConfiguration) {
            add(internal.customProxyConfiguration, "Added custom proxy config session");
        }
        break;
    }
    case NRVURLBrokerConfiguration::kCustomConfiguration:
        add(configuration, "Added support custom proxy config session");
        break;
    case NRVURLBrokerConfiguration::kMessageRelayConfiguration:
        add(configuration, "Added message relay support custom proxy config session");
        break;
    default: break;
    }
    auto withFlags = [&](std::uint64_t t) {
        auto c = NRVURLBrokerConfiguration::initWithType(t);
        if (configuration) {
            c->setDiscardIfInvalid(configuration->discardIfInvalid());
            c->setEnableSmartReset(configuration->enableSmartReset());
        }
        return c;
    };
    if (type <= NRVURLBrokerConfiguration::kCustomConfiguration ||
        type == NRVURLBrokerConfiguration::kMessageRelayConfiguration) {
        add(withFlags(NRVURLBrokerConfiguration::kSystemConfiguration), "Added system proxy session");
    }
    add(withFlags(NRVURLBrokerConfiguration::kNoProxyConfiguration), "Added no proxy config session");
    return container;
}

void NRVURLSessionHandler::registerBrokerOnQueue(const std::string& brokerID,
                                                 const NRVURLBrokerConfigurationRef& configuration) {
    sessionLog().debug("Executing registerBroker() code on handler taskQueue for (BrokerID: " + brokerID + ")");
    if (configuration && configuration->discardIfInvalid()) {
        sessionLog().log("Configuring URL broker to discard invalid sessions (BrokerID: " + brokerID + ")");
    } else if (configuration && configuration->enableSmartReset()) {
        sessionLog().log("Enabling smart session reset for (BrokerID: " + brokerID + ")");
    }
    sessionLog().log("Creating container of sessions for (BrokerID: " + brokerID + ")");
    auto container = containerForConfig(configuration);
    NRVURLSessionContainerRef old;
    {
        std::lock_guard<std::mutex> lock(tablesMutex_);
        std::erase_if(existingContainers_, [](const auto& w) { return w.expired(); });
        existingContainers_.push_back(container);
        auto it = containers_.find(brokerID);
        if (it != containers_.end()) old = it->second;
        containers_[brokerID] = container;
    }
    if (old) container->setAuthHandler(old->authHandler());
    // The old container goes here, outside the lock: its destructor closes
    // its streams.
}

void NRVURLSessionHandler::registerBroker(const std::string& brokerID, NRVURLBrokerConfigurationRef configuration) {
    auto self = shared_from_this();
    taskQueue_->async([self, brokerID, configuration] { self->registerBrokerOnQueue(brokerID, configuration); });
}

void NRVURLSessionHandler::registerAuthenticationHandlerForBroker(const std::string& brokerID,
                                                                  NRVURLAuthenticationHandler handler) {
    auto self = shared_from_this();
    taskQueue_->async([self, brokerID, handler] {
        if (auto container = self->lookUp(brokerID)) container->setAuthHandler(handler);
    });
}

void NRVURLSessionHandler::unregisterBroker(const std::string& brokerID) {
    auto self = shared_from_this();
    taskQueue_->async([self, brokerID] {
        NRVURLSessionContainerRef old;
        std::lock_guard<std::mutex> lock(self->tablesMutex_);
        auto it = self->containers_.find(brokerID);
        if (it == self->containers_.end()) return;
        old = std::move(it->second);
        self->containers_.erase(it);
    });
}

void NRVURLSessionHandler::terminateTasksForBroker(const std::string& brokerID) {
    auto self = shared_from_this();
    taskQueue_->async([self, brokerID] {
        if (auto container = self->lookUp(brokerID)) {
            container->terminateAllAvailableTasks();
            sessionLog().log("Terminated all available tasks for broker: " + brokerID);
        } else {
            sessionLog().log("No container found for broker: " + brokerID);
        }
    });
}

void NRVURLSessionHandler::refreshContainers() {
    auto self = shared_from_this();
    taskQueue_->async([self] {
        std::map<std::string, NRVURLSessionContainerRef> current;
        {
            std::lock_guard<std::mutex> lock(self->tablesMutex_);
            current = self->containers_;
        }
        NerovaLogger::proxy().log("Refresh all sessions in containers (Found containers: " +
                                  std::to_string(current.size()) + ").");
        for (const auto& [brokerID, container] : current) {
            NerovaLogger::proxy().log("Refreshing container. (Broker ID: " + brokerID + ")");
            if (container->connectionHandler()) self->resetPushForContainer(container);
            self->registerBrokerOnQueue(brokerID, container->initialConfiguration());
        }
    });
}

NRVURLSessionContainerRef NRVURLSessionHandler::lookUp(const std::string& brokerID) {
    std::lock_guard<std::mutex> lock(tablesMutex_);
    auto it = containers_.find(brokerID);
    return it == containers_.end() ? nullptr : it->second;
}

NRVURLSessionContainerRef NRVURLSessionHandler::containerForTask(const NRVURLSessionTask* task) {
    std::vector<NRVURLSessionContainerRef> live;
    {
        std::lock_guard<std::mutex> lock(tablesMutex_);
        for (const auto& weak : existingContainers_) {
            if (auto c = weak.lock()) live.push_back(c);
        }
    }
    for (const auto& container : live) {
        if (container->hasTask(task)) return container;
    }
    return nullptr;
}

NRVURLSessionContainerRef NRVURLSessionHandler::containerForBroker(const std::string& brokerID) {
    drainForUnitTest();
    return lookUp(brokerID);
}

void NRVURLSessionHandler::setContainerForUnitTest(const std::string& brokerID, NRVURLSessionContainerRef container) {
    taskQueue_->sync([&] {
        std::lock_guard<std::mutex> lock(tablesMutex_);
        existingContainers_.push_back(container);
        containers_[brokerID] = container;
    });
}

void NRVURLSessionHandler::drainForUnitTest() {
    if (!taskQueue_->isCurrent()) taskQueue_->sync([] {});
}

// --- requests ---------------------------------------------------------------

namespace {

struct EntryTexts {
    std::int64_t noContainer, noSession;
    const char* failed;  // "dataWithRequest" ...
};

EntryTexts textsFor(NRVURLSessionTask::Kind kind) {
    switch (kind) {
    case NRVURLSessionTask::Kind::kUpload: return {1101, 1102, "uploadWithRequest"};
    case NRVURLSessionTask::Kind::kDownload: return {1201, 1202, "downloadWithRequest"};
    default: return {1001, 1002, "dataWithRequest"};
    }
}

const char* labelFor(NRVURLSessionTask::Kind kind) {
    switch (kind) {
    case NRVURLSessionTask::Kind::kUpload: return "uploadTask";
    case NRVURLSessionTask::Kind::kDownload: return "downloadTask";
    default: return "dataTask";
    }
}

NRVDictionary unavailableProxyDetails() {
    NRVDictionary details;
    details.set("proxyUsageDescription", "Proxy unavailable: no session selected");
    details.set("brokerConfigType", 3);
    return details;
}

}  // namespace

void NRVURLSessionHandler::enterRequest(const std::shared_ptr<NRVHandlerRequest>& entry, const std::string& brokerID) {
    auto self = shared_from_this();
    // The engine's thread runs the queue when it is idle: the request then
    // reaches the engine with no thread in between.
    engine_->dispatch(taskQueue_, [self, entry, brokerID] {
        const bool isData = entry->kind == NRVURLSessionTask::Kind::kData;
        if (isData) sessionLog().debug("Executing dataWithRequest() on handler taskQueue for (BrokerID: " + brokerID + ")");
        const EntryTexts texts = textsFor(entry->kind);
        entry->container = self->lookUp(brokerID);
        NRVErrorRef error;
        if (!entry->container) {
            error = handlerError(texts.noContainer, "No URL session container found for broker '" + brokerText(brokerID) + "'");
            sessionLog().error(std::string(texts.failed) + " failed: " + error->localizedDescription);
        } else if (auto first = entry->container->firstSession()) {
            if (isData) sessionLog().debug("Acquiring first session to execute task on");
            self->startAttempt(entry, first);
            return;
        } else {
            error = handlerError(texts.noSession, "No URL sessions available for broker '" + brokerText(brokerID) + "'");
            sessionLog().error(std::string(texts.failed) + " failed. url=" + NRVLogRedaction::redactedURL(entry->request.URL) +
                               " method=" + methodOf(entry->request) + " error=" + error->localizedDescription);
        }
        entry->response->addResultWithProxy(unavailableProxyDetails(), nullptr, nullptr, error);
        self->resolve(entry, std::nullopt);
    });
}

void NRVURLSessionHandler::dataWithRequest(const NRVURLRequest& request, const std::string& brokerID,
                                           DataResolution resolution) {
    auto entry = std::make_shared<NRVHandlerRequest>();
    entry->kind = NRVURLSessionTask::Kind::kData;
    entry->request = request;
    entry->dataReply = std::move(resolution);
    enterRequest(entry, brokerID);
}

void NRVURLSessionHandler::uploadWithRequest(const NRVURLRequest& request, const std::string& brokerID,
                                             const NRVData& data, DataResolution resolution) {
    NRVURLRequest copy = request;
    copy.HTTPBody = data;
    // The same entry path as a data request, with the upload's texts.
    auto entry = std::make_shared<NRVHandlerRequest>();
    entry->kind = NRVURLSessionTask::Kind::kUpload;
    entry->request = std::move(copy);
    entry->dataReply = std::move(resolution);
    enterRequest(entry, brokerID);
}

void NRVURLSessionHandler::downloadWithRequest(const NRVURLRequest& request, const std::string& brokerID,
                                               DownloadResolution resolution) {
    auto entry = std::make_shared<NRVHandlerRequest>();
    entry->kind = NRVURLSessionTask::Kind::kDownload;
    entry->request = request;
    entry->downloadReply = std::move(resolution);
    enterRequest(entry, brokerID);
}

void NRVURLSessionHandler::resolve(const std::shared_ptr<NRVHandlerRequest>& request, std::optional<NRVData> data) {
    if (request->kind == NRVURLSessionTask::Kind::kDownload) {
        if (request->downloadReply) request->downloadReply(request->response);
    } else if (request->dataReply) {
        request->dataReply(request->response, std::move(data));
    }
}

void NRVURLSessionHandler::startAttempt(const std::shared_ptr<NRVHandlerRequest>& request,
                                        const NRVURLSessionRef& session) {
    if (request->kind == NRVURLSessionTask::Kind::kData) {
        sessionLog().debug("Creating completion handler, task for session " + session->hashText());
    } else {
        sessionLog().debug("Attempting communication with session " + session->hashText());
    }
    auto task = std::make_shared<NRVURLSessionTask>(request->kind, request->request, session);
    request->container->addTaskSynchronously(task);
    if (request->kind == NRVURLSessionTask::Kind::kData) {
        sessionLog().debug("Resuming task: attempting communication with session " + session->hashText());
    }
    runTransfer(request, task, std::make_shared<NRVHandlerAuthState>());
}

void NRVURLSessionHandler::runTransfer(const std::shared_ptr<NRVHandlerRequest>& request,
                                       const NRVURLSessionTaskRef& task,
                                       const std::shared_ptr<NRVHandlerAuthState>& auth) {
    platform::http::Request r = transportRequest(task->originalRequest());
    r.proxyCredentials = auth->proxy;
    r.serverCredentials = auth->server;
    std::string downloadPath;
    if (request->kind == NRVURLSessionTask::Kind::kDownload) {
        downloadPath = newDownloadPath();
        r.downloadPath = downloadPath;
    } else {
        r.maxBodyBytes = maxDataBodyBytes_;
    }
    r.maxDecodedBytes = maxDecodedBodyBytes_;
    auto body = std::make_shared<NRVData>();
    std::weak_ptr<NRVURLSessionHandler> weak = shared_from_this();
    platform::http::TransferDelegate delegate;
    delegate.onData = [body](const char* data, std::size_t size) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
        body->insert(body->end(), bytes, bytes + size);
        return true;
    };
    delegate.onComplete = [weak, request, task, auth, body, downloadPath](const TransferResult& result) {
        auto self = weak.lock();
        if (!self) return;
        // Run on the engine's thread when the queue is idle: the resolution
        // then reaches the caller with one hand-over.
        self->engine_->dispatch(self->taskQueue_, [self, request, task, auth, body, downloadPath, result] {
            self->transferDone(request, task, auth, result, body, downloadPath);
        });
    };
    auto transfer = engine_->start(task->session()->transport(), std::move(r), std::move(delegate), trustHookFor(task));
    task->setCanceller([transfer] { transfer->cancel(); });
    if (task->cancelledByClient()) transfer->cancel();
}

bool NRVURLSessionHandler::retryAfterChallenge(const NRVURLSessionTaskRef& task, const TransferResult& result,
                                               NRVHandlerAuthState& auth, NRVHTTPURLResponseRef* response,
                                               NRVErrorRef* error) {
    if (task->cancelledByClient()) return false;
    const NRVURLSessionRef& session = task->session();
    const bool tunnelRefused = result.kind == TransferErrorKind::ProxyFailed &&
                               (result.proxyConnectStatus == 407 ||
                                (result.proxyConnectStatus == 401 && auth.proxy.has_value()));
    // A 407 in answer to a plain request comes from the proxy in between,
    // whichever route chose it: the machine's proxy of the system route asks
    // like a configured one (and is refused, having no credentials to give).
    const bool answered407 = *response && (*response)->statusCode() == 407 && !auth.server;
    const std::optional<platform::http::ProxyRoute> proxy =
        tunnelRefused || answered407 ? proxyInUse(session, task->originalRequest().URL) : std::nullopt;
    if (tunnelRefused || (answered407 && proxy)) {
        // A proxy asking for (more) credentials.
        const platform::http::ProxyRoute route =
            proxy.value_or(NRVURLSession::routeForConfiguration(session->configuration().get()));
        NRVURLAuthenticationChallenge challenge;
        challenge.protectionSpace.isProxy = true;
        challenge.protectionSpace.host = route.host;
        challenge.protectionSpace.port = route.port;
        challenge.protectionSpace.protocol = "HTTP";
        challenge.protectionSpace.authenticationMethod =
            result.proxyAsksBasicOrDigest || auth.proxy ? NRVURLAuthenticationMethod::kHTTPBasic
                                                         : NRVURLAuthenticationMethod::kDefault;
        if (auto method = passwordMethod(*response, "Proxy-Authenticate")) {
            challenge.protectionSpace.authenticationMethod = *method;
        }
        challenge.previousFailureCount = auth.proxyFailures;
        challenge.failureResponse = *response;
        NRVURLAuthenticationAnswer answer = auth.proxyFailures < kMaximumChallengeRounds
                                                ? handleChallenge(task.get(), challenge)
                                                : NRVURLAuthenticationAnswer::cancel();
        if (answer.kind() == NRVURLAuthenticationAnswer::Kind::kUseCredential && answer.credential()->user()) {
            auth.proxyFailures++;
            auth.proxy = platform::http::Credentials{answer.credential()->user().value_or(""),
                                                     answer.credential()->password().value_or("")};
            return true;
        }
        // Refused: the attempt ends with the proxy's 407 on record.
        if (!*response) *response = std::make_shared<NRVHTTPURLResponse>(task->originalRequest().URL, 407, NRVDictionary());
        *error = urlError(-1012, "cancelled", "proxy authentication refused");
        return false;
    }
    if (*response && (*response)->statusCode() == 401) {
        auto method = passwordMethod(*response, "WWW-Authenticate");
        if (!method) return false;
        NRVURLAuthenticationChallenge challenge;
        challenge.protectionSpace.protocol = task->originalRequest().URL.rfind("https", 0) == 0 ? "https" : "http";
        challenge.protectionSpace.authenticationMethod = *method;
        challenge.previousFailureCount = auth.serverFailures;
        challenge.failureResponse = *response;
        NRVURLAuthenticationAnswer answer = auth.serverFailures < kMaximumChallengeRounds
                                                ? handleChallenge(task.get(), challenge)
                                                : NRVURLAuthenticationAnswer::cancel();
        if (answer.kind() == NRVURLAuthenticationAnswer::Kind::kUseCredential && answer.credential()->user()) {
            auth.serverFailures++;
            auth.server = platform::http::Credentials{answer.credential()->user().value_or(""),
                                                      answer.credential()->password().value_or("")};
            return true;
        }
        if (answer.kind() == NRVURLAuthenticationAnswer::Kind::kCancel) {
            *error = urlError(-1012, "cancelled", "server authentication refused");
        }
    }
    return false;
}

void NRVURLSessionHandler::transferDone(const std::shared_ptr<NRVHandlerRequest>& request,
                                        const NRVURLSessionTaskRef& task,
                                        const std::shared_ptr<NRVHandlerAuthState>& auth, const TransferResult& result,
                                        const std::shared_ptr<NRVData>& body, const std::string& downloadPath) {
    const NRVURLSessionRef session = task->session();
    const bool isData = request->kind == NRVURLSessionTask::Kind::kData;
    if (isData) sessionLog().debug("Task done; completionHandler running for session " + session->hashText());
    NRVHTTPURLResponseRef response = responseFromHead(result.response);
    NRVErrorRef error = NRVURLErrorForTransferResult(result);
    if (retryAfterChallenge(task, result, *auth, &response, &error)) {
        std::error_code ignored;
        if (!downloadPath.empty()) std::filesystem::remove(downloadPath, ignored);
        runTransfer(request, task, auth);
        return;
    }
    if (task->cancelledByClient()) error = urlError(-999, "cancelled", "cancelled by the client");
    task->setResponse(response);
    task->setState(NRVURLSessionTask::State::kCompleted);

    NRVDictionary details = request->container->proxyDetailsForSession(session);
    std::optional<NRVData> data;
    if (!error && request->kind != NRVURLSessionTask::Kind::kDownload) {
        data = std::move(*body);
    } else {
        NRVData().swap(*body);  // a failed attempt's partial body goes at once
    }
    std::optional<std::string> location;
    if (request->kind == NRVURLSessionTask::Kind::kDownload && !error) location = downloadPath;
    request->response->addResultWithProxy(details, response, data ? &*data : nullptr, location, error);

    // Whatever the client did not move away goes, as the platform's
    // temporary download files do once the completion handler returned.
    auto removeDownload = [&downloadPath] {
        std::error_code ignored;
        if (!downloadPath.empty()) std::filesystem::remove(downloadPath, ignored);
    };
    const std::string label = labelFor(request->kind);
    if (error) {
        if (task->cancelledByClient()) {
            // The client asked to stop: no other route is tried.
            sessionLog().log("Communication via session " + session->hashText() + " cancelled by the client");
            resolve(request, std::nullopt);
            removeDownload();
            logOperationFailure(label, request->request, session, error, nullptr, details, response);
            return;
        }
        reportCustomProxyFailure(details);
        NRVURLSessionRef next = request->container->nextSession(session);
        if (next) {
            sessionLog().log("Communication via session " + session->hashText() + " failed, trying next session " +
                             next->hashText());
            startAttempt(request, next);
        } else {
            sessionLog().log("Communication via session " + session->hashText() +
                             (isData ? " failed, failing communication: no sessions left to retry with"
                                     : " failed, failing communication"));
            resolve(request, std::nullopt);
        }
        removeDownload();
        logCookies(session, request->request, label + " error");
        logOperationFailure(label, request->request, session, error, next, details, response);
        return;
    }
    sessionLog().log("Communication via session " + session->hashText() + " successful");
    logCookies(session, request->request, label);
    resolve(request, std::move(data));
    removeDownload();
    request->container->reportSuccessForSession(session);
}

void NRVURLSessionHandler::logOperationFailure(const std::string& label, const NRVURLRequest& request,
                                               const NRVURLSessionRef& session, const NRVErrorRef& error,
                                               const NRVURLSessionRef& next, const NRVDictionary& details,
                                               const NRVHTTPURLResponseRef& response) {
    const NRVValue* usage = details.find("proxyUsageDescription");
    const std::string proxy = usage && usage->asString() ? *usage->asString() : "<unavailable>";
    sessionLog().error(label + " failed. url=" + (request.URL.empty() ? "<nil>" : NRVLogRedaction::redactedURL(request.URL)) +
                       " method=" + methodOf(request) + " session=" + session->hashText() +
                       " status=" + std::to_string(response ? response->statusCode() : 0) + " proxy=" + proxy +
                       " retry=" + (next ? "YES" : "NO") + " errorDomain=" + (error ? error->domain : "<nil>") +
                       " errorCode=" + std::to_string(error ? error->code : 0) + " error=" + errorText(error) +
                       " underlying=" + (error ? NSErrorExtensions::getNSUnderlyingErrorKeys(*error) : "<nil>"));
}

void NRVURLSessionHandler::reportCustomProxyFailure(const NRVDictionary& details) {
    const NRVValue* type = details.find("brokerConfigType");
    const NRVValue* custom = details.find("customProxyDetails");
    const NRVValue* host = custom ? (*custom)["proxyHost"] : nullptr;
    if (!host || !host->asString() || !type || !type->asInteger() ||
        *type->asInteger() != static_cast<std::int64_t>(NRVURLBrokerConfiguration::kMessageRelayConfiguration)) {
        return;
    }
    const std::string relay = *host->asString();
    NerovaLogger::session().log("Report message relay failure for host: " + relay);
    if (!selfReportMessageRelayErrors_) {
        // Posting may first have to reach the notification services; the
        // failover must not wait for that.
        DispatchQueue::global()->async(
            [relay] { NRVDistributedNotification::notify(kMessageRelayFailureNotification, NRVValue(relay)); });
    } else {
        trimMessageRelayFromConfig(relay);
    }
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

// --- cookies ----------------------------------------------------------------

bool NRVURLSessionHandler::detectItemReuse(const std::optional<std::string>& item, const std::string& key,
                                           const std::string& prefix, const std::string& name) {
    static std::mutex mutex;
    static platform::NoDestructor<std::map<std::string, std::string>> currentItems;
    static platform::NoDestructor<std::map<std::string, std::set<std::string>>> oldItems;
    if (!item) return false;
    const NRVLogHandle& log = NerovaLogger::session_dup();
    std::lock_guard<std::mutex> lock(mutex);
    auto current = currentItems->find(key);
    if (current == currentItems->end()) {
        log.log(prefix + " - first time we encounter key " + key + "; " + name + ": " + *item);
        (*currentItems)[key] = *item;
        (*oldItems)[key] = {};
        return false;
    }
    if (current->second == *item) {
        log.log(prefix + " - using current " + name + " " + *item + " for key " + key);
        return false;
    }
    const std::string last = current->second;
    log.log(prefix + " - last " + name + " seen: " + last + "; now using " + *item + " for key " + key);
    current->second = *item;
    auto old = oldItems->find(key);
    if (old == oldItems->end()) {
        log.log(prefix + " - ** logic error ** URL " + key + "'s old " + name + " set missing");
        return false;
    }
    old->second.insert(last);
    if (old->second.count(*item)) {
        log.log(prefix + " - ** WARNING ** old " + name + " " + *item + " being re-used for key " + key);
        return true;
    }
    return false;
}

void NRVURLSessionHandler::logCookies(const NRVURLSessionRef& session, const NRVURLRequest& request,
                                      const std::string& /*label*/) {
    const NRVLogHandle& log = NerovaLogger::session_dup();
    const std::string prefix = "TID " + std::to_string(platform::thread::currentThreadNumber()) + " Q " +
                               (taskQueue_->isCurrent() ? taskQueue_->label() : std::string("(null)")) +
                               " - HTTP cookie";
    const std::string host = NetworkUtility::extractHost(request.URL);
    log.log(prefix + " - request URL: " + host);
    const auto cookies = session->transport()->cookiesForURL(request.URL);
    log.log(prefix + " - " + (cookies.size() < 2 ? "" : "** WARNING ** - ") +
            "count for request URL: " + std::to_string(cookies.size()));
    // Made for the first cookie that has an expiry date: most requests carry none.
    std::optional<NRVDateFormatter> expiryFormat;
    auto yesNo = [](bool b) { return std::string(b ? "YES" : "NO"); };
    std::size_t number = 0;
    for (const auto& cookie : cookies) {
        // Keyed: an unsalted digest of a guessable value gives the value back.
        const std::string hash = NRVLogRedaction::keyedDigest(cookie.value);
        log.log(prefix + " - cookie #" + std::to_string(++number) + " name: " + cookie.name + ", hash value: " + hash +
                ", session only: " + yesNo(cookie.expires == 0) + ", domain: " + cookie.domain +
                ", path: " + cookie.path + ", secure: " + yesNo(cookie.secure) + ", HTTP only: " +
                yesNo(cookie.httpOnly) + ", expiry date: " + yesNo(cookie.expires != 0));
        if (cookie.expires != 0) {
            if (!expiryFormat) expiryFormat.emplace("yyyy-MM-dd HH:mm:ss", "en_US_POSIX", NRVDateFormatter::Zone::System);
            log.log(prefix + " - " + hash + " expiry date: " +
                    expiryFormat->stringFromDate(NRVDate::fromUnix(static_cast<double>(cookie.expires))));
        }
        detectItemReuse(hash, host, prefix, "cookie");
    }
}

// --- challenges -------------------------------------------------------------

namespace {

// The peer's chain as a trust object; each certificate object takes its own
// reference, the TLS layer keeps its own.
NRVServerTrustRef trustForPeerChain(const STACK_OF(X509) * chain, const std::string& host) {
    if (!chain) return nullptr;
    std::vector<NRVCertificateRef> certificates;
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        X509* certificate = sk_X509_value(chain, i);
        if (!certificate) return nullptr;
        certificates.push_back(NRVCertificate::createWithX509(certificate));
    }
    return NRVServerTrust::create(std::move(certificates), host);
}

}  // namespace

platform::http::ServerTrustHook NRVURLSessionHandler::trustHookFor(const NRVURLSessionTaskRef& task) {
    std::weak_ptr<NRVURLSessionHandler> weakSelf = shared_from_this();
    std::weak_ptr<NRVURLSessionTask> weakTask = task;
    return [weakSelf, weakTask](x509_store_ctx_st* chain, const std::string& host, std::string* reason) {
        auto self = weakSelf.lock();
        auto task = weakTask.lock();
        if (!self || !task) return false;
        NRVServerTrustRef trust = trustForPeerChain(X509_STORE_CTX_get0_untrusted(chain), host);
        if (!trust) return false;
        NRVURLAuthenticationChallenge challenge;
        challenge.protectionSpace.host = host;
        challenge.protectionSpace.protocol = "https";
        challenge.protectionSpace.authenticationMethod = NRVURLAuthenticationMethod::kServerTrust;
        challenge.protectionSpace.serverTrust = trust;
        NRVURLAuthenticationAnswer answer = NRVURLAuthenticationAnswer::cancel();
        // Answered on the handler's queue, which never waits for this thread.
        self->taskQueue_->sync([&] { answer = self->handleChallenge(task.get(), challenge); });
        switch (answer.kind()) {
        case NRVURLAuthenticationAnswer::Kind::kUseCredential:
            return answer.credential() && answer.credential()->serverTrust() == trust;
        case NRVURLAuthenticationAnswer::Kind::kPerformDefaultHandling: {
            auto evaluation = NRVServerTrust::evaluateAgainstSystemAnchors(X509_STORE_CTX_get0_untrusted(chain), host);
            if (evaluation.result == NRVTrustResult::kUnspecified) return true;
            if (reason) *reason = evaluation.failureReason;
            return false;
        }
        case NRVURLAuthenticationAnswer::Kind::kCancel: break;
        }
        // The handler's evaluation says why, when it made one.
        if (reason) *reason = trust->lastFailureReason();
        return false;
    };
}

NRVURLAuthenticationAnswer NRVURLSessionHandler::handleChallenge(const NRVURLSessionTask* task,
                                                                 const NRVURLAuthenticationChallenge& challenge) {
    NRVURLSessionContainerRef container = containerForTask(task);
    NRVURLAuthenticationHandler authHandler = container ? container->authHandler() : nullptr;
    if (!container || !authHandler) {
        sessionLog().error("Challenge failed: could not obtain container for the task.");
        return NRVURLAuthenticationAnswer::cancel();
    }
    const auto& space = challenge.protectionSpace;
    const bool password = space.authenticationMethod == NRVURLAuthenticationMethod::kHTTPBasic ||
                          space.authenticationMethod == NRVURLAuthenticationMethod::kHTTPDigest;
    if (space.isProxy && password) {
        if (challenge.previousFailureCount < 1) {
            auto configuration = container->findConfigurationForSession(task->session());
            const std::uint64_t type = configuration ? configuration->proxyConfigType() : 0;
            if (type == NRVURLBrokerConfiguration::kCustomConfiguration ||
                type == NRVURLBrokerConfiguration::kMessageRelayConfiguration) {
                auto credential = NRVURLCredential::credentialWithUser(configuration->proxyUsername().value_or(""),
                                                                       configuration->proxyPassword().value_or(""),
                                                                       NRVURLCredential::Persistence::kNone);
                NerovaLogger::auth().log("Set credentials for configured session: " +
                                         configuration->proxyUsername().value_or("(null)") + ":<password>");
                return NRVURLAuthenticationAnswer::useCredential(credential);
            }
            sessionLog().error("Challenge failed: Proxy is not configured proxy");
            sessionLog().error("Proxy auth handler rejected.");
            return NRVURLAuthenticationAnswer::cancel();
        }
        const std::string previous = challenge.failureResponse ? challenge.failureResponse->description() : "(null)";
        sessionLog().error("Previous failure count is greater than 0. (previousFailureCount: " +
                           std::to_string(challenge.previousFailureCount) + ", previous error: (null), previous response: " +
                           previous + ")");
        return NRVURLAuthenticationAnswer::cancel();
    }
    NRVURLAuthenticationAnswer answer = authHandler(challenge, &task->originalRequest());
    if (answer.kind() == NRVURLAuthenticationAnswer::Kind::kCancel) sessionLog().error("User auth handler rejected.");
    return answer;
}
