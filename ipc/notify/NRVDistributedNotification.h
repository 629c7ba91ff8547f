// Notifications that carry a payload object across the maker's processes.
// Each subscribing object runs its own receiving service; the process's
// shared NRVDistributedNotificationMap learns from the outside map updater
// which receiving services take which names, and a sender calls each of
// them directly.
//
// Threading: every method may be called from any thread. Subscription
// changes and incoming calls run on the object's serial taskQueue; notifiers
// run one at a time on its serial deliveryQueue, never on the caller's
// thread. Payloads from other processes are property-list values only; one
// that does not decode is dropped with a log line and its notifier is not
// called. The destructor unsubscribes everything and stops the receiving
// service; a notifier already on the delivery queue may still run.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ipc/notify/NRVDistributedNotificationMap.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/value/NRVValue.h"

class NRVDistributedNotification : public std::enable_shared_from_this<NRVDistributedNotification> {
public:
    // (name, payload object; a null value for nil)
    using Notifier = std::function<void(const std::string& name, const NRVValue& object)>;

    static std::shared_ptr<NRVDistributedNotification> create();
    ~NRVDistributedNotification();
    NRVDistributedNotification(const NRVDistributedNotification&) = delete;
    NRVDistributedNotification& operator=(const NRVDistributedNotification&) = delete;

    const std::string& uuid() const { return uuid_; }
    const std::string& xpcServiceName() const { return xpcServiceName_; }

    // A later notifier for a name replaces the earlier one.
    void subscribeName(const std::string& name, Notifier notifier);
    void subscribeNames(const std::vector<std::string>& names, Notifier notifier);
    void unsubscribeName(const std::string& name);
    void unsubscribeNames(const std::vector<std::string>& names);
    void unsubscribeAllNames();

    // Sends the payload (a null value for nil) to every subscriber of the
    // name, this process's included. A payload that is not made of
    // property-list values is not sent (logged).
    static void notify(const std::string& name, const NRVValue& payload);
    static void notify(const std::string& name);
    // See NRVDistributedNotificationMap::onRegisteredNotificationName.
    static void onSubscribedName(const std::string& name, std::function<void()> callback);

    // The process's map, made and started on first use.
    static std::shared_ptr<NRVDistributedNotificationMap> sharedNotificationMap();
    // For tests: stops the process's map and lets the next
    // sharedNotificationMap() make and start a fresh one.
    static void resetSharedNotificationMapForUnitTest();

private:
    NRVDistributedNotification();

    // These run on taskQueue_.
    void startXPCService();
    void stopXPCServiceIfRequired();
    void notifyName(const std::string& name, const NRVData& rawPayload);

    bool xpcServiceStarted_ = false;
    const std::string uuid_;
    std::map<std::string, Notifier> notifiers_;
    const std::shared_ptr<platform::dispatch::DispatchQueue> taskQueue_;
    const std::shared_ptr<platform::dispatch::DispatchQueue> deliveryQueue_;
    const std::string xpcServiceName_;
};
