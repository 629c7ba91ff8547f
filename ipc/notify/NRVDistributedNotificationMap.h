// The process's view of the system-wide notification map (notification name
// -> receiving services subscribed to it), kept up to date by the outside map
// updater, and the sender's side of the payload notification bus: a sender
// calls every receiving service of a name directly.
//
// Threading: one instance per process (NRVDistributedNotification's shared
// map). All state lives on taskQueue. sendNotification blocks its caller for
// up to 1 s before the first map update, registerNotificationNames for up to
// 0.5 s before the updater connection first comes up; neither may be called
// on taskQueue. Connecting to a new target blocks taskQueue for up to 1 s
// (kTargetConnectWait).
// Incoming map updates and updater status changes hold the map weakly.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ipc/xpc/NRVXPCClientHelper.h"
#include "ipc/xpc/NRVXPCTypes.h"
#include "platform/dispatch/Dispatch.h"

class NRVDistributedNotificationMap : public std::enable_shared_from_this<NRVDistributedNotificationMap> {
public:
    using NotificationMap = std::map<std::string, std::vector<std::string>>;
    using ErrorBlock = NRVXPCClientHelper::ErrorBlock;

    static std::shared_ptr<NRVDistributedNotificationMap> create();
    NRVDistributedNotificationMap(const NRVDistributedNotificationMap&) = delete;
    NRVDistributedNotificationMap& operator=(const NRVDistributedNotificationMap&) = delete;

    const std::string& serviceName() const { return serviceName_; }

    // Starts the map listener and connects to the updater.
    void start();

    // Calls notifyName:rawPayload:withReply: on every receiving service the
    // map lists for the name; lost (with a log line) where one cannot be reached.
    void sendNotification(const std::string& name, const NRVData& rawPayload);

    // Each of these reports the subscriber's whole remaining set of names to
    // the updater (an empty set once it has none), so that senders stop
    // calling a receiving service that no longer takes the names.
    void registerNotificationNames(const std::set<std::string>& names, const std::string& subscriptionXPCName);
    void unregisterNotificationNames(const std::set<std::string>& names, const std::string& subscriptionXPCName);
    void unregisterAllNotificationNamesForSubscriptionXPCName(const std::string& subscriptionXPCName);

    // Called at once when the current map has the name, else once on the
    // first map update that has it (a later callback for the name replaces
    // a waiting one). Runs on taskQueue.
    void onRegisteredNotificationName(const std::string& name, std::function<void()> callback);

    NRVXPCProxy mapUpdaterWithErrorHandler(ErrorBlock errorHandler);

    // For tests: the map as last received, and the targets connected to.
    std::optional<NotificationMap> notificationMapForUnitTest();
    std::set<std::string> availableXPCConnectionsForUnitTest();
    // For tests: stops the map's service and lets go of the updater and of
    // every target. Not to be called on taskQueue.
    void stopForUnitTest();
    // How long sending waits for a new target's connection before the
    // notification to it is lost (1 s); for tests, of every map from now on.
    static constexpr std::chrono::milliseconds kTargetConnectWait{1000};
    static void setTargetConnectWaitForUnitTest(std::chrono::milliseconds wait);

private:
    NRVDistributedNotificationMap();

    // These run on taskQueue_.
    NRVXPCProxy proxyForTargetXPCName(const std::string& name, ErrorBlock errorHandler);
    void updateNotificationMap(const NRVDictionary& map);
    void reportToMapUpdaterNotificationNames(const std::set<std::string>& names,
                                             const std::string& callbackXPCName);
    void reportToMapUpdaterAllRegisteredNotificationNames();

    void handleMapUpdaterConnectionStatus(bool connected);

    const std::string serviceName_;
    const std::shared_ptr<platform::dispatch::DispatchQueue> taskQueue_;
    std::optional<NotificationMap> notificationMap_;
    std::unique_ptr<NRVXPCClientHelper> clientHelper_;
    std::set<std::string> availableXPCConnections_;
    const std::shared_ptr<platform::dispatch::DispatchGroup> waitForFirstMapUpdate_;
    const std::shared_ptr<platform::dispatch::DispatchGroup> waitForFirstConnection_;
    std::map<std::string, std::set<std::string>> subscriptions_;
    std::map<std::string, std::function<void()>> subscriptionCallbacks_;
};
