#include "ipc/notify/NRVDistributedNotification.h"

#include <set>

#include "foundation/NRVQueueMonitor.h"
#include "foundation/NerovaLogger.h"
#include "ipc/notify/NRVDistributedNotificationProtocols.h"
#include "ipc/xpc/NRVKeyedArchive.h"
#include "ipc/xpc/NRVUUID.h"
#include "ipc/xpc/NRVXPCServiceHelper.h"
#include "platform/thread/Mutex.h"
#include "platform/memory/NoDestructor.h"

using platform::dispatch::DispatchQueue;

namespace {

const NRVLogHandle& log() { return NerovaLogger::xpc(); }

}  // namespace

namespace {

// Lives for the process: senders and receivers anywhere may still use it at
// exit. Replaced only by a test's reset.
struct SharedMapSlot {
    platform::Mutex mutex;
    std::shared_ptr<NRVDistributedNotificationMap> map GUARDED_BY(mutex);
};

SharedMapSlot& sharedMapSlot() {
    static platform::NoDestructor<SharedMapSlot> slot;
    return *slot;
}

// The process's map when one is made, else null: letting go of names needs
// no map, and a fresh one would only start a service and connect to the
// updater while its caller ends.
std::shared_ptr<NRVDistributedNotificationMap> madeSharedNotificationMap() {
    SharedMapSlot& slot = sharedMapSlot();
    platform::MutexLock lock(slot.mutex);
    return slot.map;
}

}  // namespace

std::shared_ptr<NRVDistributedNotificationMap> NRVDistributedNotification::sharedNotificationMap() {
    SharedMapSlot& slot = sharedMapSlot();
    platform::MutexLock lock(slot.mutex);
    if (!slot.map) {
        slot.map = NRVDistributedNotificationMap::create();
        slot.map->start();
    }
    return slot.map;
}

void NRVDistributedNotification::resetSharedNotificationMapForUnitTest() {
    std::shared_ptr<NRVDistributedNotificationMap> old;
    {
        SharedMapSlot& slot = sharedMapSlot();
        platform::MutexLock lock(slot.mutex);
        old = std::move(slot.map);
    }
    if (old) old->stopForUnitTest();
}

std::shared_ptr<NRVDistributedNotification> NRVDistributedNotification::create() {
    return std::shared_ptr<NRVDistributedNotification>(new NRVDistributedNotification());
}

NRVDistributedNotification::NRVDistributedNotification()
    : uuid_(NRVUUIDString()),
      taskQueue_(DispatchQueue::createSerial("com.nerova.foundation.distributedNotification.taskqueue")),
      deliveryQueue_(DispatchQueue::createSerial("com.nerova.foundation.distributedNotification.deliveryqueue")),
      xpcServiceName_("com.nerova.NRVDistributedNotification_" + uuid_) {
    NRVQueueMonitor::monitorDispatchQueue(taskQueue_);
    NRVQueueMonitor::monitorDispatchQueue(deliveryQueue_);
}

NRVDistributedNotification::~NRVDistributedNotification() {
    if (auto map = madeSharedNotificationMap()) map->unregisterAllNotificationNamesForSubscriptionXPCName(xpcServiceName_);
    // Nothing is left to receive for: the service goes with its object.
    if (xpcServiceStarted_) NRVXPCServiceHelper::sharedHelper()->stopService(xpcServiceName_);
}

void NRVDistributedNotification::subscribeName(const std::string& name, Notifier notifier) {
    subscribeNames({name}, std::move(notifier));
}

void NRVDistributedNotification::subscribeNames(const std::vector<std::string>& names, Notifier notifier) {
    auto self = shared_from_this();
    taskQueue_->async([self, names, notifier = std::move(notifier)] {
        self->startXPCService();
        const std::set<std::string> set(names.begin(), names.end());
        for (const auto& name : set) self->notifiers_[name] = notifier;
        sharedNotificationMap()->registerNotificationNames(set, self->xpcServiceName_);
    });
}

void NRVDistributedNotification::unsubscribeName(const std::string& name) { unsubscribeNames({name}); }

void NRVDistributedNotification::unsubscribeNames(const std::vector<std::string>& names) {
    auto self = shared_from_this();
    taskQueue_->async([self, names] {
        const std::set<std::string> set(names.begin(), names.end());
        for (const auto& name : set) self->notifiers_.erase(name);
        if (auto map = madeSharedNotificationMap()) map->unregisterNotificationNames(set, self->xpcServiceName_);
        self->stopXPCServiceIfRequired();
    });
}

void NRVDistributedNotification::unsubscribeAllNames() {
    auto self = shared_from_this();
    taskQueue_->async([self] {
        self->notifiers_.clear();
        if (auto map = madeSharedNotificationMap())
            map->unregisterAllNotificationNamesForSubscriptionXPCName(self->xpcServiceName_);
        self->stopXPCServiceIfRequired();
    });
}

void NRVDistributedNotification::notify(const std::string& name, const NRVValue& payload) {
    NRVError error;
    auto raw = NRVKeyedArchive::archivedDataWithRootObject(payload, &error);
    if (!raw) {
        log().error("Failed to archive the payload of the notification '" + name + "'. Error: " +
                    error.localizedDescription);
        return;
    }
    sharedNotificationMap()->sendNotification(name, *raw);
}

void NRVDistributedNotification::notify(const std::string& name) { notify(name, NRVValue()); }

void NRVDistributedNotification::onSubscribedName(const std::string& name, std::function<void()> callback) {
    sharedNotificationMap()->onRegisteredNotificationName(name, std::move(callback));
}

void NRVDistributedNotification::startXPCService() {
    if (xpcServiceStarted_) return;
    log().log("Start notification receiving xpc service '" + xpcServiceName_ + "'.");
    std::weak_ptr<NRVDistributedNotification> weak = weak_from_this();
    auto receiver = std::make_shared<platform::xpc::ExportedObject>();
    receiver->on("notifyName:rawPayload:withReply:",
                 [weak](const platform::xpc::Values& args, const platform::xpc::Reply& reply) {
                     // Acknowledged before any notifier runs: a sender never waits for one.
                     reply({});
                     auto self = weak.lock();
                     const std::string* name = args.size() == 2 ? args[0].asString() : nullptr;
                     const NRVData* raw = args.size() == 2 && args[1].plain() ? args[1].plain()->asData() : nullptr;
                     if (!self || !name) return;
                     self->taskQueue_->async([self, name = *name, raw = raw ? *raw : NRVData()] {
                         self->notifyName(name, raw);
                     });
                 });
    NRVXPCServiceHelper::sharedHelper()->startService(xpcServiceName_, receiver, NRVDistributedNotificationXPCProtocol());
    xpcServiceStarted_ = true;
}

void NRVDistributedNotification::stopXPCServiceIfRequired() {
    if (!notifiers_.empty() || !xpcServiceStarted_) return;
    xpcServiceStarted_ = false;
    NRVXPCServiceHelper::sharedHelper()->stopService(xpcServiceName_);
    log().log("Stop notification receiving xpc service '" + xpcServiceName_ + "' since no more notifier(s) found.");
}

void NRVDistributedNotification::notifyName(const std::string& name, const NRVData& rawPayload) {
    auto it = notifiers_.find(name);
    if (it == notifiers_.end()) {
        log().error("Notifier for the notification '" + name + "' is not found. Ignore the message.");
        return;
    }
    Notifier notifier = it->second;
    deliveryQueue_->async([name, rawPayload, notifier] {
        NRVError error;
        NRVValue object = NRVKeyedArchive::unarchivedRootObject(rawPayload, &error);
        if (object.isNull() && !error.domain.empty()) {
            log().error("Dropped the notification '" + name + "': its payload does not decode. Error: " +
                        error.localizedDescription);
            return;
        }
        notifier(name, object);
    });
}
