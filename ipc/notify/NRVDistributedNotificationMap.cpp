#include "ipc/notify/NRVDistributedNotificationMap.h"

#include <atomic>
#include <cstdint>

#include "foundation/NRVDispatchExtensions.h"
#include "foundation/NRVQueueMonitor.h"
#include "foundation/NerovaLogger.h"
#include "ipc/notify/NRVDistributedNotificationProtocols.h"
#include "ipc/xpc/NRVUUID.h"
#include "ipc/xpc/NRVXPCServiceHelper.h"

using platform::dispatch::DispatchGroup;
using platform::dispatch::DispatchQueue;
using platform::dispatch::DISPATCH_TIME_NOW;
using platform::dispatch::dispatchTime;
using platform::dispatch::NSEC_PER_MSEC;

namespace {

const NRVLogHandle& log() { return NerovaLogger::xpc(); }

std::string describe(const std::set<std::string>& names) {
    std::string out = "(";
    for (const auto& n : names) out += (out.size() > 1 ? ", " : "") + n;
    return out + ")";
}

std::string describe(const std::map<std::string, std::set<std::string>>& subscriptions) {
    std::string out = "{";
    for (const auto& [name, names] : subscriptions) out += (out.size() > 1 ? "; " : "") + name + " = " + describe(names);
    return out + "}";
}

// The map as the updater sends it; entries that are not arrays of strings
// are skipped, so a malformed map cannot make the sender call anything odd.
NRVDistributedNotificationMap::NotificationMap toNotificationMap(const NRVDictionary& map) {
    NRVDistributedNotificationMap::NotificationMap out;
    for (std::size_t i = 0; i < map.size(); ++i) {
        const NRVArray* list = map.valueAt(i).asArray();
        if (!list) continue;
        std::vector<std::string> services;
        for (const auto& item : *list)
            if (const auto* s = item.asString()) services.push_back(*s);
        out.emplace(map.keyAt(i), std::move(services));
    }
    return out;
}

std::set<std::string> allTargets(const NRVDistributedNotificationMap::NotificationMap& map) {
    std::set<std::string> out;
    for (const auto& [name, services] : map) out.insert(services.begin(), services.end());
    return out;
}

}  // namespace

std::shared_ptr<NRVDistributedNotificationMap> NRVDistributedNotificationMap::create() {
    return std::shared_ptr<NRVDistributedNotificationMap>(new NRVDistributedNotificationMap());
}

NRVDistributedNotificationMap::NRVDistributedNotificationMap()
    : serviceName_("com.nerova.NRVDistributedNotificationMap_" + NRVUUIDString()),
      taskQueue_(DispatchQueue::createSerial("com.nerova.distributedNotificationMap.taskQueue")),
      clientHelper_(std::make_unique<NRVXPCClientHelper>()),
      waitForFirstMapUpdate_(DispatchGroup::create()),
      waitForFirstConnection_(DispatchGroup::create()) {
    NRVQueueMonitor::monitorDispatchQueue(taskQueue_);
}

void NRVDistributedNotificationMap::start() {
    dispatch_group_safe_enter(waitForFirstMapUpdate_);
    dispatch_group_safe_enter(waitForFirstConnection_);
    log().log("Start map updating listening service '" + serviceName_ + "'.");
    std::weak_ptr<NRVDistributedNotificationMap> weak = weak_from_this();
    auto listener = std::make_shared<platform::xpc::ExportedObject>();
    listener->on("updateNotificationMap:withReply:", [weak](const platform::xpc::Values& args,
                                                            const platform::xpc::Reply& reply) {
        auto self = weak.lock();
        const NRVDictionary* map = args.empty() || !args[0].plain() ? nullptr : args[0].plain()->asDictionary();
        if (!self || !map) {
            reply({});
            return;
        }
        self->taskQueue_->async([self, map = *map, reply] {
            self->updateNotificationMap(map);
            reply({});
        });
    });
    NRVXPCServiceHelper::sharedHelper()->startService(serviceName_, listener,
                                                      NRVDistributedNotificationMapUpdateXPCProtocol());
    clientHelper_->connectService(kNRVDistributedNotificationMapUpdaterServiceName,
                                  NRVDistributedNotificationMapUpdaterXPCProtocol(), [weak](NRVXPCProxy proxy) {
                                      if (auto self = weak.lock()) self->handleMapUpdaterConnectionStatus(proxy != nullptr);
                                  });
}

namespace {

std::atomic<std::int64_t>& targetConnectWaitMilliseconds() {
    static std::atomic<std::int64_t> wait{NRVDistributedNotificationMap::kTargetConnectWait.count()};
    return wait;
}

}  // namespace

void NRVDistributedNotificationMap::setTargetConnectWaitForUnitTest(std::chrono::milliseconds wait) {
    targetConnectWaitMilliseconds().store(wait.count());
}

void NRVDistributedNotificationMap::stopForUnitTest() {
    NRVXPCServiceHelper::sharedHelper()->stopService(serviceName_);
    taskQueue_->sync([this] {
        for (const auto& target : availableXPCConnections_) clientHelper_->disconnectService(target);
        availableXPCConnections_.clear();
        clientHelper_->disconnectService(kNRVDistributedNotificationMapUpdaterServiceName);
    });
}

void NRVDistributedNotificationMap::handleMapUpdaterConnectionStatus(bool connected) {
    if (!connected) {
        log().error("Connection to map updater is lost.");
        return;
    }
    const std::string name = serviceName_;
    auto updater = mapUpdaterWithErrorHandler([name](const std::string& error) {
        log().error("Failed to register map updating listener service '" + name + "'. Error: " + error);
    });
    if (updater) {
        updater->call("registerXPCNameForReceivingMapUpdate:withReply:", {name}, [name](const platform::xpc::Values&) {
            log().log("Successfully registered map updating listener service '" + name + "'.");
        });
    }
    std::weak_ptr<NRVDistributedNotificationMap> weak = weak_from_this();
    taskQueue_->async([weak] {
        if (auto self = weak.lock()) self->reportToMapUpdaterAllRegisteredNotificationNames();
    });
    dispatch_group_safe_leave(waitForFirstConnection_);
}

void NRVDistributedNotificationMap::reportToMapUpdaterAllRegisteredNotificationNames() {
    log().log("Report all existing notification names for registered xpc names. Subscriptions: " +
              describe(subscriptions_));
    for (const auto& [callback, names] : subscriptions_) reportToMapUpdaterNotificationNames(names, callback);
}

void NRVDistributedNotificationMap::reportToMapUpdaterNotificationNames(const std::set<std::string>& names,
                                                                        const std::string& callbackXPCName) {
    const std::string text = "(notification names: " + describe(names) + ", subscription xpc name: " +
                             callbackXPCName + ")";
    log().log("Report to map updater for registration request. " + text);
    auto updater = mapUpdaterWithErrorHandler([text](const std::string& error) {
        log().error("Failed to report to map updater " + text + ". Error: " + error);
    });
    if (!updater) return;
    NRVArray list;
    for (const auto& n : names) list.emplace_back(n);
    updater->call("registerNotificationNames:callbackXPCName:withReply:", {NRVValue(std::move(list)), callbackXPCName},
                  [text](const platform::xpc::Values&) { log().log("Successfully reported to map updater " + text + "."); });
}

void NRVDistributedNotificationMap::registerNotificationNames(const std::set<std::string>& names,
                                                              const std::string& subscriptionXPCName) {
    dispatch_group_safe_wait(waitForFirstConnection_, dispatchTime(DISPATCH_TIME_NOW, 500 * NSEC_PER_MSEC));
    auto self = shared_from_this();
    taskQueue_->async([self, names, subscriptionXPCName] {
        log().log("Received registration request. (Notification names: " + describe(names) +
                  ", subscription xpc name: " + subscriptionXPCName + ")");
        auto& set = self->subscriptions_[subscriptionXPCName];
        set.insert(names.begin(), names.end());
        self->reportToMapUpdaterNotificationNames(set, subscriptionXPCName);
    });
}

void NRVDistributedNotificationMap::unregisterNotificationNames(const std::set<std::string>& names,
                                                                const std::string& subscriptionXPCName) {
    auto self = shared_from_this();
    taskQueue_->async([self, names, subscriptionXPCName] {
        log().log("Received unregistration request. (Notification names: " + describe(names) +
                  ", subscription xpc name: " + subscriptionXPCName + ")");
        auto it = self->subscriptions_.find(subscriptionXPCName);
        if (it == self->subscriptions_.end()) return;
        for (const auto& n : names) it->second.erase(n);
        const std::set<std::string> remaining = it->second;
        if (remaining.empty()) self->subscriptions_.erase(it);
        self->reportToMapUpdaterNotificationNames(remaining, subscriptionXPCName);
    });
}

void NRVDistributedNotificationMap::unregisterAllNotificationNamesForSubscriptionXPCName(
    const std::string& subscriptionXPCName) {
    auto self = shared_from_this();
    taskQueue_->async([self, subscriptionXPCName] {
        log().log("Received unregistration request for all subscriptions.(subscription xpc name: " +
                  subscriptionXPCName + ")");
        if (self->subscriptions_.erase(subscriptionXPCName) == 0) return;
        self->reportToMapUpdaterNotificationNames({}, subscriptionXPCName);
    });
}

void NRVDistributedNotificationMap::onRegisteredNotificationName(const std::string& name,
                                                                 std::function<void()> callback) {
    auto self = shared_from_this();
    taskQueue_->async([self, name, callback = std::move(callback)]() mutable {
        if (self->notificationMap_ && self->notificationMap_->count(name)) {
            callback();
            return;
        }
        self->subscriptionCallbacks_[name] = std::move(callback);
    });
}

NRVXPCProxy NRVDistributedNotificationMap::mapUpdaterWithErrorHandler(ErrorBlock errorHandler) {
    return clientHelper_->remoteObjectProxyForService(kNRVDistributedNotificationMapUpdaterServiceName,
                                                      std::move(errorHandler));
}

void NRVDistributedNotificationMap::sendNotification(const std::string& name, const NRVData& rawPayload) {
    dispatch_group_safe_wait(waitForFirstMapUpdate_, dispatchTime(DISPATCH_TIME_NOW, 1000 * NSEC_PER_MSEC));
    auto self = shared_from_this();
    taskQueue_->async([self, name, rawPayload] {
        const std::vector<std::string>* targets = nullptr;
        if (self->notificationMap_) {
            auto it = self->notificationMap_->find(name);
            if (it != self->notificationMap_->end()) targets = &it->second;
        }
        if (!targets) {
            log().debug("No xpc name(s) are registered for the notification '" + name + "'.");
            return;
        }
        for (const std::string& target : std::vector<std::string>(*targets)) {
            auto proxy = self->proxyForTargetXPCName(target, [target](const std::string& error) {
                log().error("Failed to notify to xpc name '" + target + "'. Error: " + error);
            });
            if (proxy) proxy->call("notifyName:rawPayload:withReply:", {name, rawPayload}, [](const platform::xpc::Values&) {});
        }
    });
}

NRVXPCProxy NRVDistributedNotificationMap::proxyForTargetXPCName(const std::string& name, ErrorBlock errorHandler) {
    if (!availableXPCConnections_.count(name)) {
        availableXPCConnections_.insert(name);
        auto group = DispatchGroup::create();
        dispatch_group_safe_enter(group);
        std::weak_ptr<DispatchGroup> weakGroup = group;
        clientHelper_->connectService(name, NRVDistributedNotificationXPCProtocol(), [weakGroup](NRVXPCProxy) {
            if (auto g = weakGroup.lock()) dispatch_group_safe_leave(g);
        });
        dispatch_group_safe_wait(group,
                                 dispatchTime(DISPATCH_TIME_NOW, targetConnectWaitMilliseconds().load() * NSEC_PER_MSEC));
        dispatch_group_safe_leave(group);
    }
    return clientHelper_->remoteObjectProxyForService(name, std::move(errorHandler));
}

void NRVDistributedNotificationMap::updateNotificationMap(const NRVDictionary& map) {
    const std::set<std::string> oldTargets = notificationMap_ ? allTargets(*notificationMap_) : std::set<std::string>{};
    notificationMap_ = toNotificationMap(map);
    const std::set<std::string> newTargets = allTargets(*notificationMap_);
    for (const auto& [name, services] : *notificationMap_) {
        auto waiting = subscriptionCallbacks_.find(name);
        if (waiting == subscriptionCallbacks_.end()) continue;
        auto callback = std::move(waiting->second);
        subscriptionCallbacks_.erase(waiting);
        callback();
        log().log("Triggered on subscription callback for notification name: " + name + ".");
    }
    for (const auto& target : oldTargets) {
        if (newTargets.count(target) || !availableXPCConnections_.count(target)) continue;
        clientHelper_->disconnectService(target);
        availableXPCConnections_.erase(target);
    }
    dispatch_group_safe_leave(waitForFirstMapUpdate_);
}

std::optional<NRVDistributedNotificationMap::NotificationMap> NRVDistributedNotificationMap::notificationMapForUnitTest() {
    std::optional<NotificationMap> out;
    taskQueue_->sync([&] { out = notificationMap_; });
    return out;
}

std::set<std::string> NRVDistributedNotificationMap::availableXPCConnectionsForUnitTest() {
    std::set<std::string> out;
    taskQueue_->sync([&] { out = availableXPCConnections_; });
    return out;
}
