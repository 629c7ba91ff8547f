#include "ipc/xpc/NRVXPCClientConnection.h"

#include <atomic>

#include "foundation/NRVQueueMonitor.h"
#include "foundation/NerovaLogger.h"
#include "ipc/xpc/NRVNerovaXPCInterfaceProtocol.h"
#include "ipc/xpc/NRVXPCNotifications.h"
#include "ipc/trust/NRVXPCPeerTrust.h"

using platform::dispatch::DispatchQueue;
using platform::dispatch::dispatchTime;
using platform::dispatch::DISPATCH_TIME_NOW;
using platform::dispatch::NSEC_PER_MSEC;
using platform::dispatch::NSEC_PER_SEC;
using platform::xpc::Connection;
using platform::xpc::fullDescription;
using platform::xpc::Values;

namespace {
const NRVLogHandle& xpcLog() { return NerovaLogger::xpc(); }
std::string quote(const std::string& s) { return "'" + s + "'"; }

// Both ends of an attempt run as the service's user and run the maker's code
// (NRVXPCPeerTrust::isServiceCode; a per-user agent's signature is its
// client's to check, with that client's own line). Two ends in one process
// are checked once.
bool isServiceItself(const std::string& name, const NRVXPCConnectionRef& control,
                     const NRVXPCConnectionRef& connection) {
    if (!NRVXPCPeerTrust::isExpectedServiceUser(control, name) ||
        !NRVXPCPeerTrust::isExpectedServiceUser(connection, name))
        return false;
    if (NRVXPCPeerTrust::isPerUserAgentService(name)) return true;
    if (!NRVXPCPeerTrust::isServiceCode(control)) return false;
    return control->auditToken() == connection->auditToken() || NRVXPCPeerTrust::isServiceCode(connection);
}

std::atomic<std::int64_t>& connectingLimitMilliseconds() {
    static std::atomic<std::int64_t> limit{
        static_cast<std::int64_t>(NRVXPCClientConnection::kConnectingLimitSeconds) * 1000};
    return limit;
}

// "30", or "0.2" for a limit shorter than whole seconds.
std::string secondsText(std::int64_t milliseconds) {
    std::string text = std::to_string(milliseconds / 1000);
    if (std::int64_t rest = milliseconds % 1000) {
        std::string fraction = std::to_string(1000 + rest).substr(1);
        while (fraction.back() == '0') fraction.pop_back();
        text += "." + fraction;
    }
    return text;
}
}  // namespace

void NRVXPCClientConnection::setConnectingLimitForUnitTest(std::chrono::milliseconds limit) {
    connectingLimitMilliseconds().store(limit.count());
}

std::shared_ptr<NRVXPCClientConnection> NRVXPCClientConnection::initWithServiceName(const std::string& serviceName,
                                                                                    NRVXPCProtocol interface) {
    std::shared_ptr<NRVXPCClientConnection> c(new NRVXPCClientConnection());
    c->serviceName_ = serviceName;
    c->interface_ = std::move(interface);
    c->taskQueue_ = DispatchQueue::createConcurrent("com.nerova.xpc.clienthelper.clientConnection.taskqueue");
    c->statusUpdateQueue_ = DispatchQueue::createSerial("com.nerova.xpc.clienthelper.clientConnection.statusUpdateQueue");
    NRVQueueMonitor::monitorDispatchQueue(c->taskQueue_);
    NRVQueueMonitor::monitorDispatchQueue(c->statusUpdateQueue_);
    c->retryDelay_ = 10;
    c->connStatus_ = Disconnected;
    c->xpcBroker_ = std::make_shared<NRVNerovaXPCBroker>();
    return c;
}

NRVXPCClientConnection::~NRVXPCClientConnection() {
    // Nobody else holds this object any more: the fields are ours alone.
    for (NRVXPCConnectionRef* c : {&connection_, &controlConnection_}) {
        if (!*c) continue;
        (*c)->setInterruptionHandler(nullptr);
        (*c)->setInvalidationHandler(nullptr);
        (*c)->invalidate();
    }
    if (isNotificationObserverRegistered_) NRVXPCNotifications::removeObserver(observerToken_);
}

void NRVXPCClientConnection::registerWithUUID(const std::string& uuid, StatusHandler handler, RefusalHandler refused) {
    taskQueue_->asyncBarrier([self = shared_from_this(), uuid, handler = std::move(handler),
                              refused = std::move(refused)]() mutable {
        xpcLog().log("Register status handler for UUID " + quote(uuid) + " and service " + quote(self->serviceName_));
        if (self->statusHandlers_.empty()) self->addNotificationObservers();
        self->statusHandlers_[uuid] = handler;
        if (refused) {
            self->refusalHandlers_[uuid] = std::move(refused);
        } else {
            self->refusalHandlers_.erase(uuid);
        }
        const std::string ids = "(UUID: " + uuid + ", Service name: " + self->serviceName_ + ")";
        const std::string count = "Current registered UUIDs: " + std::to_string(self->statusHandlers_.size()) +
                                  " for service " + quote(self->serviceName_);
        switch (self->connStatus_) {
            case Disconnected:
                xpcLog().log("Current XPC connection status is disconnected (" + std::to_string(self->connStatus_) +
                             "). " + ids);
                self->startConnection();
                break;
            case Connected: {
                xpcLog().log("Existing XPC connection found. " + ids);
                xpcLog().log(count);
                NRVXPCProxy proxy = self->connection_->remoteObjectProxy();
                std::string name = self->serviceName_;
                self->statusUpdateQueue_->async([handler, proxy, uuid, name] {
                    xpcLog().log("Update status to UUID " + quote(uuid) + " for service " + quote(name));
                    handler(proxy);
                });
                break;
            }
            case Connecting:
                xpcLog().log("XPC connection is being established. Waiting for connection. " + ids);
                xpcLog().log(count);
                break;
            default:
                xpcLog().error("Unexpected XPC connection status found (" + std::to_string(self->connStatus_) + "). " +
                               ids);
        }
    });
}

void NRVXPCClientConnection::unregisterWithUUID(const std::string& uuid) {
    taskQueue_->asyncBarrier([self = shared_from_this(), uuid] {
        self->statusHandlers_.erase(uuid);
        self->refusalHandlers_.erase(uuid);
        if (self->statusHandlers_.empty()) {
            xpcLog().log("Here are no status handlers for service " + quote(self->serviceName_));
            self->closeConnection();
            self->removeNotificationObservers();
        }
    });
}

void NRVXPCClientConnection::drain() {
    // Task blocks queue status updates, never the other way round: the task
    // queue first, then what it queued.
    taskQueue_->syncBarrier([] {});
    statusUpdateQueue_->sync([] {});
}

NRVXPCProxy NRVXPCClientConnection::remoteObjectProxy() {
    NRVXPCProxy proxy;
    taskQueue_->sync([&] {
        if (connStatus_ == Connected && connection_) {
            proxy = connection_->remoteObjectProxy();
        } else {
            xpcLog().log("XPC connection status is NOT connected (" + std::to_string(connStatus_) +
                         "). (Service name: " + serviceName_ + ")");
        }
    });
    return proxy;
}

NRVXPCProxy NRVXPCClientConnection::remoteObjectProxyWithErrorHandler(ErrorBlock block) {
    NRVXPCProxy proxy;
    bool connected = false;
    taskQueue_->sync([&] {
        if (connStatus_ == Connected && connection_) {
            connected = true;
            proxy = connection_->remoteObjectProxyWithErrorHandler([block](const platform::Error& error) {
                if (block) block(error.description);
            });
        }
    });
    if (!connected && block) block("Cannot find a connection for the service '" + serviceName_ + "'.");
    return proxy;
}

std::size_t NRVXPCClientConnection::numberOfRegisteredClient() {
    std::size_t n = 0;
    taskQueue_->sync([&] { n = statusHandlers_.size(); });
    return n;
}

std::uint64_t NRVXPCClientConnection::connStatusForUnitTest() {
    std::uint64_t s = 0;
    taskQueue_->sync([&] { s = connStatus_; });
    return s;
}

void NRVXPCClientConnection::addNotificationObservers() {
    if (isNotificationObserverRegistered_) return;
    std::weak_ptr<NRVXPCClientConnection> weak = weak_from_this();
    observerToken_ = NRVXPCNotifications::addObserver(NRVXPCNotifications::kRegistered, [weak](const NRVDictionary& info) {
        if (auto self = weak.lock()) self->handleXPCServiceRegistered(info);
    });
    isNotificationObserverRegistered_ = true;
    xpcLog().log("Add notification observer(s).");
}

void NRVXPCClientConnection::removeNotificationObservers() {
    if (!isNotificationObserverRegistered_) return;
    NRVXPCNotifications::removeObserver(observerToken_);
    isNotificationObserverRegistered_ = false;
    xpcLog().log("Removed all notification observer(s).");
}

void NRVXPCClientConnection::startConnection() {
    xpcLog().log("Start to connect to the service " + quote(serviceName_) + ".");
    connStatus_ = Connecting;
    const std::uint64_t attempt = ++attempt_;
    std::weak_ptr<NRVXPCClientConnection> weak = weak_from_this();
    // A broker or a service that never answers must not leave the connection
    // connecting for ever.
    const std::int64_t limit = connectingLimitMilliseconds().load();
    taskQueue_->after(dispatchTime(DISPATCH_TIME_NOW, limit * NSEC_PER_MSEC),
                      [weak, attempt, limit] {
                          auto self = weak.lock();
                          if (!self) return;
                          self->taskQueue_->asyncBarrier([self, attempt, limit] {
                              if (self->attempt_ != attempt || self->connStatus_ != Connecting) return;
                              xpcLog().error("Connection to the service " + quote(self->serviceName_) +
                                             " did not complete within " + secondsText(limit) + " seconds.");
                              self->handlerConnectionError(attempt);
                          });
                      });
    xpcBroker_->requestListenerEndpointForService(
        serviceName_, [weak, attempt](std::optional<NRVXPCEndpoint> endpoint, std::optional<NRVXPCEndpoint> control,
                                      std::optional<std::string> error) {
            auto self = weak.lock();
            if (!self) return;
            self->taskQueue_->asyncBarrier([self, attempt, endpoint, control, error] {
                if (self->attempt_ != attempt || self->connStatus_ != Connecting) return;
                if (endpoint && control && (!error || error->empty())) {
                    self->openConnectionWithListenerEndpoint(attempt, *endpoint, *control);
                    return;
                }
                xpcLog().error("Broker returned error or incorrect endpoint listeners. (Error: " + NRVXPCDescribe(error) +
                               ", Endpoint listener: " + NRVXPCDescribe(endpoint) + ", Control endpoint listener: " +
                               NRVXPCDescribe(control) + ", Serivce name: " + self->serviceName_ + ")");
                self->handlerConnectionError(attempt);
            });
        });
}

void NRVXPCClientConnection::connectionErrorSoon(std::uint64_t attempt) {
    taskQueue_->asyncBarrier([self = shared_from_this(), attempt] { self->handlerConnectionError(attempt); });
}

void NRVXPCClientConnection::refusedSoon(std::uint64_t attempt) {
    taskQueue_->asyncBarrier([self = shared_from_this(), attempt] {
        // Only the attempt under way speaks for the service.
        if (self->attempt_ != attempt) return;
        for (const auto& [uuid, refused] : self->refusalHandlers_)
            self->statusUpdateQueue_->async([refused = refused] { refused(); });
        self->handlerConnectionError(attempt);
    });
}

void NRVXPCClientConnection::openConnectionWithListenerEndpoint(std::uint64_t attempt, const NRVXPCEndpoint& endpoint,
                                                                const NRVXPCEndpoint& controlEndpoint) {
    xpcLog().log("Open a XPC connection from listener endpoint for the service " + quote(serviceName_));
    NRVXPCConnectionRef connection = Connection::createForEndpoint(endpoint);
    NRVXPCConnectionRef control = Connection::createForEndpoint(controlEndpoint);
    connection->setRemoteInterface(interface_);
    control->setRemoteInterface(NRVServiceStatusProtocol());

    std::weak_ptr<NRVXPCClientConnection> weak = weak_from_this();
    const std::string name = serviceName_;
    auto onError = [weak, attempt](const char* what, const std::string& name) {
        return [weak, attempt, what, name] {
            xpcLog().log(std::string(what) + " (service: " + name + ")");
            if (auto self = weak.lock()) self->connectionErrorSoon(attempt);
        };
    };
    connection->setInterruptionHandler(onError("Interruption handler called.", name));
    connection->setInvalidationHandler(onError("Invalidation handler called.", name));
    control->setInterruptionHandler(onError("Control connection's interruption handler called.", name));
    control->setInvalidationHandler(onError("Control connection's invalidation handler called.", name));
    connection->resume();
    control->resume();
    xpcLog().log("Verify connection status for the service " + quote(name));

    auto proxy = control->remoteObjectProxyWithErrorHandler([weak, attempt, name](const platform::Error& error) {
        xpcLog().error("Connection to the service " + quote(name) + " is invalid. Error: " + fullDescription(error));
        if (auto self = weak.lock()) self->connectionErrorSoon(attempt);
    });
    // Until the status reply arrives the pair belongs to this attempt only: a
    // later attempt or a closed connection drops it.
    proxy->call("statusWithReply:", {}, [weak, attempt, name, connection, control](const Values&) {
        // Any process may have bound the endpoints the broker handed out:
        // the pair counts only when both ends are the service itself. Nothing
        // but this status call, which carries nothing, has gone to them yet.
        if (!isServiceItself(name, control, connection)) {
            xpcLog().error("Connection to " + quote(name) + " (pid: " + std::to_string(control->processIdentifier()) +
                           ") is not the expected service. Drop it.");
            if (auto self = weak.lock()) {
                self->refusedSoon(attempt);
            } else {
                for (const auto& c : {connection, control}) {
                    c->setInterruptionHandler(nullptr);
                    c->setInvalidationHandler(nullptr);
                    c->invalidate();
                }
            }
            return;
        }
        xpcLog().log("Connection to " + quote(name) + " (pid: " + std::to_string(control->processIdentifier()) +
                     ") is valid.");
        if (auto self = weak.lock()) {
            self->updateConnection(attempt, connection, control);
        } else {
            for (const auto& c : {connection, control}) {
                c->setInterruptionHandler(nullptr);
                c->setInvalidationHandler(nullptr);
                c->invalidate();
            }
        }
    });
    // The attempt's pair is kept in the fields' place only once it is verified;
    // remember it so that an error of this attempt closes it.
    pendingConnection_ = connection;
    pendingControlConnection_ = control;
}

void NRVXPCClientConnection::updateConnection(std::uint64_t attempt, NRVXPCConnectionRef connection,
                                              NRVXPCConnectionRef control) {
    taskQueue_->asyncBarrier([self = shared_from_this(), attempt, connection, control] {
        if (self->attempt_ != attempt || self->connStatus_ != Connecting) {
            // Dropped attempt: its handlers are cleared first so that closing
            // it reports nothing.
            for (const auto& c : {connection, control}) {
                c->setInterruptionHandler(nullptr);
                c->setInvalidationHandler(nullptr);
                c->invalidate();
            }
            return;
        }
        xpcLog().log("Update connection and control connection for the service " + quote(self->serviceName_) + ".");
        self->connStatus_ = Connected;
        self->connection_ = connection;
        self->controlConnection_ = control;
        self->pendingConnection_.reset();
        self->pendingControlConnection_.reset();
        self->updateStatusToAllWithProxyObject(connection->remoteObjectProxy());
    });
}

void NRVXPCClientConnection::updateStatusToAllWithProxyObject(NRVXPCProxy proxy) {
    taskQueue_->async([self = shared_from_this(), proxy] {
        const std::string name = self->serviceName_;
        xpcLog().log("Send a proxy object " + quote(NRVXPCDescribe(proxy)) + " to all handlers (count: " +
                     std::to_string(self->statusHandlers_.size()) + ") for the service " + quote(name));
        for (const auto& [uuid, handler] : self->statusHandlers_) {
            self->statusUpdateQueue_->async([proxy, uuid = uuid, handler = handler, name] {
                xpcLog().log("Send a proxy object " + quote(NRVXPCDescribe(proxy)) + " to a handler (UUID: " + uuid +
                             ") for the service " + quote(name));
                handler(proxy);
            });
        }
    });
}

void NRVXPCClientConnection::handlerConnectionError(std::uint64_t attempt) {
    // Errors of an attempt that was already closed or replaced change nothing.
    if (attempt != attempt_) return;
    xpcLog().error("Handle XPC connection error for the service " + quote(serviceName_));
    if (connStatus_ == Connected) updateStatusToAllWithProxyObject(nullptr);
    closeConnection();
    reconnectWithDelay(retryDelay_);
}

void NRVXPCClientConnection::closeConnection() {
    xpcLog().log("Close XPC connection for the service " + quote(serviceName_) + ".");
    auto close = [](NRVXPCConnectionRef& c, const char* line) {
        if (!c) return;
        if (line) xpcLog().log(line);
        c->setInterruptionHandler(nullptr);
        c->setInvalidationHandler(nullptr);
        c->invalidate();
        c.reset();
    };
    close(connection_, "Found a connection. Close it.");
    close(controlConnection_, "Found a control connection. Close it.");
    close(pendingConnection_, nullptr);
    close(pendingControlConnection_, nullptr);
    connStatus_ = Disconnected;
    // Whatever the closed attempt still reports is stale from now on.
    ++attempt_;
}

void NRVXPCClientConnection::reconnectWithDelay(std::uint64_t seconds) {
    const std::string name = serviceName_;
    xpcLog().log("Reconnect after " + std::to_string(seconds) + " seconds. (Service name: " + name + ")");
    std::weak_ptr<NRVXPCClientConnection> weak = weak_from_this();
    taskQueue_->after(dispatchTime(DISPATCH_TIME_NOW, static_cast<std::int64_t>(seconds) * NSEC_PER_SEC), [weak, name] {
        auto self = weak.lock();
        if (!self) {
            xpcLog().log("Reconnection has been cancelled since self object is nil. (Service name: " + name + ")");
            return;
        }
        self->taskQueue_->asyncBarrier([self] {
            if (self->connStatus_ == Disconnected) {
                xpcLog().log("XPC connection status is waiting for retry. Reconnection start. (Service name: " +
                             self->serviceName_ + ")");
                self->startConnection();
            } else {
                xpcLog().log("XPC connection status is NOT disconnected (" + std::to_string(self->connStatus_) +
                             "). Skip retrying. (Service name: " + self->serviceName_ + ")");
            }
        });
    });
}

void NRVXPCClientConnection::handleXPCServiceRegistered(const NRVDictionary& userInfo) {
    taskQueue_->async([self = shared_from_this(), userInfo] {
        const NRVValue* name = userInfo.find("registeredName");
        if (!name || !name->asString() || *name->asString() != self->serviceName_) return;
        if (self->connStatus_ != Disconnected) return;
        xpcLog().log("Received registered notification for the xpc service name " + quote(self->serviceName_) +
                     ", and currently disconnected status. Retry immediately.");
        self->reconnectWithDelay(0);
    });
}
