#include "ipc/xpc/NRVXPCServiceHelper.h"


#include "foundation/NRVQueueMonitor.h"
#include "foundation/NSProcessInfoExtensions.h"
#include "foundation/NerovaLogger.h"
#include "ipc/xpc/NRVNerovaXPCInterfaceProtocol.h"
#include "ipc/xpc/NRVXPCNotifications.h"
#include "ipc/trust/NRVXPCPeerTrust.h"
#include "platform/thread/Mutex.h"
#include "platform/memory/NoDestructor.h"

using platform::dispatch::DispatchQueue;
using platform::dispatch::dispatchTime;
using platform::dispatch::DISPATCH_TIME_NOW;
using platform::dispatch::NSEC_PER_MSEC;
using platform::xpc::ExportedObject;
using platform::xpc::Listener;
using platform::xpc::Reply;
using platform::xpc::Values;

namespace {
const NRVLogHandle& xpcLog() { return NerovaLogger::xpc(); }
std::string controlName(const std::string& serviceName) { return serviceName + "." + "control"; }
}  // namespace

namespace {

// Made once and never destroyed: listeners and retries may outlive main.
// Replaced only by a test's reset.
struct SharedHelperSlot {
    platform::Mutex mutex;
    std::shared_ptr<NRVXPCServiceHelper> helper GUARDED_BY(mutex);
};

SharedHelperSlot& sharedHelperSlot() {
    static platform::NoDestructor<SharedHelperSlot> slot;
    return *slot;
}

}  // namespace

std::shared_ptr<NRVXPCServiceHelper> NRVXPCServiceHelper::makeHelper() {
    auto h = std::shared_ptr<NRVXPCServiceHelper>(new NRVXPCServiceHelper());
    h->taskQueue_ = DispatchQueue::createSerial("com.nerova.xpc.broker.servicehelper.taskqueue");
    h->peerCheckQueue_ = DispatchQueue::createConcurrent("com.nerova.xpc.broker.servicehelper.peercheck");
    h->broker_ = std::make_shared<NRVNerovaXPCBroker>();
    NRVQueueMonitor::monitorDispatchQueue(h->taskQueue_);
    return h;
}

std::shared_ptr<NRVXPCServiceHelper> NRVXPCServiceHelper::sharedHelper() {
    SharedHelperSlot& slot = sharedHelperSlot();
    platform::MutexLock lock(slot.mutex);
    if (!slot.helper) slot.helper = makeHelper();
    return slot.helper;
}

void NRVXPCServiceHelper::resetSharedHelperForUnitTest() {
    std::shared_ptr<NRVXPCServiceHelper> old;
    {
        SharedHelperSlot& slot = sharedHelperSlot();
        platform::MutexLock lock(slot.mutex);
        old = std::move(slot.helper);
    }
    if (!old) return;
    old->taskQueue_->sync([&] {
        for (auto& [name, entry] : old->listeners_) {
            if (entry.listener) entry.listener->invalidate();
        }
        old->listeners_.clear();
        old->removeNotificationObservers();
    });
}

void NRVXPCServiceHelper::startService(const std::string& serviceName,
                                       std::shared_ptr<ExportedObject> handlerObject, NRVXPCProtocol protocol) {
    taskQueue_->async([self = shared_from_this(), serviceName, handlerObject, protocol] {
        self->startControlChannelForService(serviceName);
        NRVXPCListenerRef listener = self->makeListener();
        if (!listener) return;
        Entry entry;
        entry.listener = listener;
        entry.interface = protocol;
        entry.handler = handlerObject;
        self->putEntry(serviceName, std::move(entry));
        listener->resume();
        self->postEndpointForService(serviceName);
        self->addNotificationObservers();
        xpcLog().log("Start service '" + serviceName + "'");
    });
}

void NRVXPCServiceHelper::startService(const std::string& serviceName, ConnectionHandler connectionHandler) {
    taskQueue_->async([self = shared_from_this(), serviceName, connectionHandler] {
        self->startControlChannelForService(serviceName);
        NRVXPCListenerRef listener = self->makeListener();
        if (!listener) return;
        Entry entry;
        entry.listener = listener;
        entry.connHandler = connectionHandler;
        self->putEntry(serviceName, std::move(entry));
        listener->resume();
        self->postEndpointForService(serviceName);
        self->addNotificationObservers();
        xpcLog().log("Start service '" + serviceName + "' with connection handler");
    });
}

void NRVXPCServiceHelper::stopService(const std::string& serviceName) {
    taskQueue_->async([self = shared_from_this(), serviceName] {
        self->stopControlChannelForService(serviceName);
        auto it = self->listeners_.find(serviceName);
        if (it != self->listeners_.end() && it->second.listener) {
            it->second.listener->invalidate();
            self->listeners_.erase(it);
        }
        self->removeNotificationObservers();
        xpcLog().log("Stop service '" + serviceName + "'");
    });
}

void NRVXPCServiceHelper::statusWithReply(const std::function<void(const std::string&)>& reply) {
    reply(kNRVServiceStatusVersion);
}

NRVXPCListenerRef NRVXPCServiceHelper::makeListener() {
    platform::Error error;
    NRVXPCListenerRef listener = Listener::anonymous(&error);
    if (!listener) {
        xpcLog().error(error.description);
        return nullptr;
    }
    std::weak_ptr<NRVXPCServiceHelper> weak = weak_from_this();
    std::weak_ptr<Listener> weakListener = listener;
    listener->setDelegate([weak, weakListener](const NRVXPCConnectionRef& connection) {
        auto self = weak.lock();
        auto listener = weakListener.lock();
        return self && listener && self->shouldAcceptNewConnection(listener, connection);
    });
    return listener;
}

void NRVXPCServiceHelper::putEntry(const std::string& name, Entry entry) {
    auto it = listeners_.find(name);
    // A replaced listener must stop accepting into the old handler.
    if (it != listeners_.end() && it->second.listener && it->second.listener != entry.listener)
        it->second.listener->invalidate();
    listeners_[name] = std::move(entry);
}

std::shared_ptr<ExportedObject> NRVXPCServiceHelper::statusObject() {
    auto object = std::make_shared<ExportedObject>();
    std::weak_ptr<NRVXPCServiceHelper> weak = weak_from_this();
    object->on("statusWithReply:", [weak](const Values&, const Reply& reply) {
        if (auto self = weak.lock()) self->statusWithReply([&](const std::string& v) { reply({v}); });
    });
    return object;
}

void NRVXPCServiceHelper::startControlChannelForService(const std::string& serviceName) {
    NRVXPCListenerRef listener = makeListener();
    if (!listener) return;
    Entry entry;
    entry.listener = listener;
    entry.interface = NRVServiceStatusProtocol();
    entry.handler = statusObject();
    entry.isControl = true;
    putEntry(controlName(serviceName), std::move(entry));
    listener->resume();
    xpcLog().log("Start control channel for service '" + serviceName + "'");
}

void NRVXPCServiceHelper::stopControlChannelForService(const std::string& serviceName) {
    auto it = listeners_.find(controlName(serviceName));
    if (it != listeners_.end()) {
        if (it->second.listener) it->second.listener->invalidate();
        listeners_.erase(it);
    }
    xpcLog().log("Stop control channel for service '" + serviceName + "'");
}

std::optional<NRVXPCEndpoint> NRVXPCServiceHelper::controlListenerEndpointForService(const std::string& serviceName) {
    auto it = listeners_.find(controlName(serviceName));
    if (it == listeners_.end() || !it->second.listener) {
        xpcLog().error("Cannot find a control listener '" + controlName(serviceName) + "'");
        return std::nullopt;
    }
    return it->second.listener->endpoint();
}

void NRVXPCServiceHelper::postEndpointForService(const std::string& serviceName) {
    auto it = listeners_.find(serviceName);
    if (it == listeners_.end()) {
        xpcLog().log("Service '" + serviceName + "' is stopped. Stop posting listener endpoint.");
        return;
    }
    if (it->second.registered) {
        xpcLog().log("Service '" + serviceName + "' is already registered.");
        return;
    }
    std::weak_ptr<NRVXPCServiceHelper> weak = weak_from_this();
    broker_->postListenerEndpoint(
        it->second.listener->endpoint(), controlListenerEndpointForService(serviceName), serviceName,
        [weak, serviceName](std::optional<std::string> error) {
            auto self = weak.lock();
            if (!self) return;
            self->taskQueue_->async([self, serviceName, error] {
                if (!error || error->empty()) {
                    xpcLog().log("Successfully post listener endpoint for the service '" + serviceName + "'");
                    auto it = self->listeners_.find(serviceName);
                    if (it != self->listeners_.end()) it->second.registered = true;
                    return;
                }
                xpcLog().error("Failed to post listener endpoint for the service '" + serviceName +
                               "'. Error: " + *error);
                std::weak_ptr<NRVXPCServiceHelper> weakAgain = self;
                self->taskQueue_->after(
                    dispatchTime(DISPATCH_TIME_NOW, static_cast<std::int64_t>(self->retryDelay_.count()) * NSEC_PER_MSEC),
                    [weakAgain, serviceName] {
                        auto helper = weakAgain.lock();
                        if (!helper) {
                            xpcLog().log("Retry of posting the service '" + serviceName +
                                         "' has been cancelled since the helper is gone.");
                            return;
                        }
                        helper->postEndpointForService(serviceName);
                    });
            });
        });
}

void NRVXPCServiceHelper::addNotificationObservers() {
    if (notificationObserverRegistered_) return;
    std::weak_ptr<NRVXPCServiceHelper> weak = weak_from_this();
    registrationObserver_ =
        NRVXPCNotifications::addObserver(NRVXPCNotifications::kRegistration, [weak](const NRVDictionary& info) {
            if (auto self = weak.lock()) self->taskQueue_->async([self, info] { self->handleRegistrationRequest(info); });
        });
    serverDidStartObserver_ =
        NRVXPCNotifications::addObserver(NRVXPCNotifications::kServerDidStart, [weak](const NRVDictionary&) {
            if (auto self = weak.lock()) self->taskQueue_->async([self] { self->handleServerDidStart(); });
        });
    notificationObserverRegistered_ = true;
    xpcLog().log("Added notification observer.");
}

void NRVXPCServiceHelper::removeNotificationObservers() {
    if (!notificationObserverRegistered_ || !listeners_.empty()) return;
    NRVXPCNotifications::removeObserver(registrationObserver_);
    NRVXPCNotifications::removeObserver(serverDidStartObserver_);
    notificationObserverRegistered_ = false;
    xpcLog().log("Removed notification observer since there are no more listeners.");
}

void NRVXPCServiceHelper::handleRegistrationRequest(const NRVDictionary& userInfo) {
    const NRVValue* requested = userInfo.find("requestName");
    if (!requested || !requested->asString()) return;
    const std::string name = *requested->asString();
    auto it = listeners_.find(name);
    if (it == listeners_.end() || !it->second.listener || it->second.isControl) return;
    xpcLog().log("Received service update request for '" + name + "'");
    it->second.registered = false;
    postEndpointForService(name);
}

void NRVXPCServiceHelper::handleServerDidStart() {
    xpcLog().log("Received Service Manager started notification. Re-register all listener endpoints.");
    std::vector<std::string> names;
    // Only control channels are skipped, whatever the services are called.
    for (auto& [name, entry] : listeners_) {
        if (entry.isControl) continue;
        entry.registered = false;
        names.push_back(name);
    }
    for (const auto& name : names) postEndpointForService(name);
}

bool NRVXPCServiceHelper::shouldAcceptNewConnection(const NRVXPCListenerRef& listener,
                                                    const NRVXPCConnectionRef& connection) {
    std::optional<std::string> serviceName;
    taskQueue_->sync([&] { serviceName = serviceNameOfListener(listener); });
    if (!serviceName) return false;
    // The checks read the peer's files and may take long: they run beside
    // the checks of other peers, never on the listener's queue or the task
    // queue, which serve them. The connection reads nothing until it is
    // resumed, and is invalidated when it is refused.
    std::weak_ptr<NRVXPCServiceHelper> weak = weak_from_this();
    peerCheckQueue_->async([weak, listener, connection, name = *serviceName] {
        auto self = weak.lock();
        bool accepted = self && self->isPeerTrusted(connection, name);
        if (accepted) {
            accepted = false;
            self->taskQueue_->sync([&] { accepted = self->admitCheckedConnection(listener, connection); });
        }
        if (!accepted) connection->invalidate();
    });
    return true;
}

std::optional<std::string> NRVXPCServiceHelper::serviceNameOfListener(const NRVXPCListenerRef& listener) {
    for (const auto& [name, e] : listeners_)
        if (e.listener == listener && !listener->isInvalid()) return name;
    return std::nullopt;
}

bool NRVXPCServiceHelper::isPeerTrusted(const NRVXPCConnectionRef& connection, const std::string& serviceName) {
    const int pid = connection->processIdentifier();
    std::function<void(int)> hook;
    {
        platform::MutexLock lock(peerCheckHookMutex_);
        hook = peerCheckHook_;
    }
    if (hook) hook(pid);
    // For the log only: the decision rests on the checks below.
    NSProcessInfoExtensions::processInfoForPid(
        pid, [&](pid_t, std::uint32_t ruid, std::uint32_t, const std::optional<std::string>&,
                 const std::optional<NRVDate>&, const std::optional<std::string>& error) {
            if (error) {
                xpcLog().error("Error to get process information for pid: " + std::to_string(pid));
                return;
            }
            xpcLog().log("Received a new connection from pid: " + std::to_string(pid) + ", username: " +
                         NSProcessInfoExtensions::posixNameForUid(ruid).value_or("(null)") + ", for service: '" +
                         serviceName + "'");
        });
    if (!NRVXPCPeerTrust::isNerovaSignTypeForConnection(connection)) {
        xpcLog().error("Invalid codesign detected for pid '" + std::to_string(pid) + "', drop the xpc connection.");
        return false;
    }
    return NRVXPCPeerTrust::areHardenRuntimeEntitlementsValid(connection);
}

bool NRVXPCServiceHelper::admitCheckedConnection(const NRVXPCListenerRef& listener,
                                                 const NRVXPCConnectionRef& connection) {
    // The service may have stopped or been replaced while the peer was checked.
    auto serviceName = serviceNameOfListener(listener);
    if (!serviceName) return false;
    const Entry& entry = listeners_.at(*serviceName);
    if (entry.connHandler) {
        xpcLog().info("Found a connection handler for service '" + *serviceName + "'");
        return entry.connHandler(connection);
    }
    xpcLog().log("Found a handler object for service '" + *serviceName + "'");
    connection->setExportedInterface(entry.interface);
    connection->setExportedObject(entry.handler);
    connection->resume();
    return true;
}

std::map<std::string, bool> NRVXPCServiceHelper::listenerTableForUnitTest() {
    std::map<std::string, bool> table;
    taskQueue_->sync([&] {
        for (const auto& [name, e] : listeners_) table[name] = e.registered;
    });
    return table;
}

void NRVXPCServiceHelper::setRetryDelayForUnitTest(std::chrono::milliseconds delay) {
    taskQueue_->sync([&] { retryDelay_ = delay; });
}

void NRVXPCServiceHelper::setPeerCheckHookForUnitTest(std::function<void(int pid)> hook) {
    platform::MutexLock lock(peerCheckHookMutex_);
    peerCheckHook_ = std::move(hook);
}

std::optional<NRVXPCEndpoint> NRVXPCServiceHelper::listenerEndpointForUnitTest(const std::string& name) {
    std::optional<NRVXPCEndpoint> endpoint;
    taskQueue_->sync([&] {
        auto it = listeners_.find(name);
        if (it != listeners_.end() && it->second.listener) endpoint = it->second.listener->endpoint();
    });
    return endpoint;
}
