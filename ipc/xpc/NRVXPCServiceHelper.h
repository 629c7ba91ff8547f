// Serves a protocol under a name without a fixed service socket: an
// anonymous listener for the service plus an anonymous control listener
// answering the version, both endpoints posted to the broker so that clients
// can find them, posted again when the broker restarts or asks, and every
// connecting peer's signature checked before the connection is let in.
//
// Threading: one instance per process (sharedHelper). Every change of the
// listener table runs on taskQueue. The peer checks run on a concurrent
// queue of their own, so that a slow check holds up no other peer; the
// admission after them runs on taskQueue. Broker replies hop back onto
// taskQueue. Delayed retries hold the helper weakly.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ipc/xpc/NRVNerovaXPCBroker.h"
#include "ipc/xpc/NRVXPCTypes.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/thread/Mutex.h"

class NRVXPCServiceHelper : public std::enable_shared_from_this<NRVXPCServiceHelper> {
public:
    using ConnectionHandler = std::function<bool(const NRVXPCConnectionRef& connection)>;

    static std::shared_ptr<NRVXPCServiceHelper> sharedHelper();

    // NRVXPCServiceHelperProtocol
    void startService(const std::string& serviceName, ConnectionHandler connectionHandler);
    void startService(const std::string& serviceName, std::shared_ptr<platform::xpc::ExportedObject> handlerObject,
                      NRVXPCProtocol protocol);
    void stopService(const std::string& serviceName);

    // NRVServiceStatusProtocol
    void statusWithReply(const std::function<void(const std::string&)>& reply);

    // For tests: the names in the table, and whether an entry is registered.
    std::map<std::string, bool> listenerTableForUnitTest();
    // For tests: the endpoint of an entry's listener.
    std::optional<NRVXPCEndpoint> listenerEndpointForUnitTest(const std::string& name);
    // For tests: how long a refused post waits before it is tried again (30 s).
    void setRetryDelayForUnitTest(std::chrono::milliseconds delay);
    // For tests: runs first in every peer check, with the peer's pid, so that
    // a test can make one check as slow as it likes. Null removes it.
    void setPeerCheckHookForUnitTest(std::function<void(int pid)> hook);
    // For tests: stops every service of the shared helper and lets the next
    // sharedHelper() make a fresh one, so that a test starts from none. Its
    // retries, which hold it weakly, then end without a trace.
    static void resetSharedHelperForUnitTest();

private:
    NRVXPCServiceHelper() = default;

    struct Entry {
        NRVXPCListenerRef listener;
        NRVXPCProtocol interface;
        std::shared_ptr<platform::xpc::ExportedObject> handler;
        ConnectionHandler connHandler;
        bool registered = false;
        // The control channel of a service, never posted on its own.
        bool isControl = false;
    };

    static std::shared_ptr<NRVXPCServiceHelper> makeHelper();

    // These run on taskQueue_.
    void startControlChannelForService(const std::string& serviceName);
    void stopControlChannelForService(const std::string& serviceName);
    std::optional<NRVXPCEndpoint> controlListenerEndpointForService(const std::string& serviceName);
    void postEndpointForService(const std::string& serviceName);
    void addNotificationObservers();
    void removeNotificationObservers();
    void handleRegistrationRequest(const NRVDictionary& userInfo);
    void handleServerDidStart();
    NRVXPCListenerRef makeListener();
    void putEntry(const std::string& name, Entry entry);

    // Runs on the listener's queue: takes the connection for a check on
    // peerCheckQueue_, which resumes or invalidates it.
    bool shouldAcceptNewConnection(const NRVXPCListenerRef& listener, const NRVXPCConnectionRef& connection);
    // On taskQueue_.
    std::optional<std::string> serviceNameOfListener(const NRVXPCListenerRef& listener);
    bool admitCheckedConnection(const NRVXPCListenerRef& listener, const NRVXPCConnectionRef& connection);
    // Anywhere: the signature and hardened-runtime checks of the peer.
    bool isPeerTrusted(const NRVXPCConnectionRef& connection, const std::string& serviceName);
    std::shared_ptr<platform::xpc::ExportedObject> statusObject();

    bool notificationObserverRegistered_ = false;
    std::map<std::string, Entry> listeners_;
    std::shared_ptr<platform::dispatch::DispatchQueue> taskQueue_;
    std::shared_ptr<platform::dispatch::DispatchQueue> peerCheckQueue_;
    std::shared_ptr<NRVNerovaXPCBroker> broker_;
    std::chrono::milliseconds retryDelay_{30000};
    platform::Mutex peerCheckHookMutex_;
    std::function<void(int pid)> peerCheckHook_ GUARDED_BY(peerCheckHookMutex_);
    std::uint64_t registrationObserver_ = 0, serverDidStartObserver_ = 0;
};
