// The one shared connection per service name inside a process. It asks the
// broker for the service's two endpoints, opens the call connection and a
// control connection, checks liveness with statusWithReply: on the control
// connection and that both ends are the service itself (its user and the
// maker's signature; see NRVXPCPeerTrust), and only then tells every
// registered status handler the proxy. A refused pair is dropped at once, as
// a connection error, and the refusal handlers are told.
// It reconnects by itself: after an error (after retryDelay seconds), and at
// once when the service announces that it has registered.
//
// Threading: taskQueue (concurrent) guards every field; state changes run as
// barrier blocks, reads as plain or sync blocks. Status handlers run one at a
// time on statusUpdateQueue, never on the caller's thread. Platform callbacks
// and delayed retries hold this object weakly.
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

class NRVXPCClientConnection : public std::enable_shared_from_this<NRVXPCClientConnection> {
public:
    using StatusHandler = std::function<void(NRVXPCProxy proxy)>;
    using ErrorBlock = std::function<void(const std::string& error)>;
    // Told, on statusUpdateQueue, each time the process reached is refused
    // as not the expected service.
    using RefusalHandler = std::function<void()>;

    enum ConnStatus : std::uint64_t { Disconnected = 0, Connected = 1, Connecting = 2 };
    // How long a connection attempt may stay in the connecting state before
    // it is treated as a connection error.
    static constexpr std::uint64_t kConnectingLimitSeconds = 30;
    // For tests: the limit of attempts started from now on (the default is
    // kConnectingLimitSeconds).
    static void setConnectingLimitForUnitTest(std::chrono::milliseconds limit);

    static std::shared_ptr<NRVXPCClientConnection> initWithServiceName(const std::string& serviceName,
                                                                       NRVXPCProtocol interface);
    ~NRVXPCClientConnection();

    // A later registration of the same UUID replaces both handlers (no
    // refusal handler: none).
    void registerWithUUID(const std::string& uuid, StatusHandler handler, RefusalHandler refused = nullptr);
    void unregisterWithUUID(const std::string& uuid);
    NRVXPCProxy remoteObjectProxy();
    NRVXPCProxy remoteObjectProxyWithErrorHandler(ErrorBlock block);
    std::size_t numberOfRegisteredClient();
    // Returns once every block queued so far on this connection's queues,
    // status handlers included, has run. Not to be called on those queues.
    void drain();

    const std::string& serviceName() const { return serviceName_; }
    std::uint64_t connStatusForUnitTest();

private:
    NRVXPCClientConnection() = default;

    // All of these run inside barrier blocks on taskQueue_.
    void addNotificationObservers();
    void removeNotificationObservers();
    void startConnection();
    void openConnectionWithListenerEndpoint(std::uint64_t attempt, const NRVXPCEndpoint& endpoint,
                                            const NRVXPCEndpoint& controlEndpoint);
    void updateConnection(std::uint64_t attempt, NRVXPCConnectionRef connection, NRVXPCConnectionRef control);
    void updateStatusToAllWithProxyObject(NRVXPCProxy proxy);
    void handlerConnectionError(std::uint64_t attempt);
    void closeConnection();
    void reconnectWithDelay(std::uint64_t seconds);
    void handleXPCServiceRegistered(const NRVDictionary& userInfo);
    // Posts a connection error of `attempt` onto taskQueue_.
    void connectionErrorSoon(std::uint64_t attempt);
    // Tells every refusal handler, then handles the error of `attempt`.
    void refusedSoon(std::uint64_t attempt);

    bool isNotificationObserverRegistered_ = false;
    std::string serviceName_;
    NRVXPCProtocol interface_;
    std::map<std::string, StatusHandler> statusHandlers_;
    std::map<std::string, RefusalHandler> refusalHandlers_;
    std::shared_ptr<platform::dispatch::DispatchQueue> taskQueue_;
    std::shared_ptr<platform::dispatch::DispatchQueue> statusUpdateQueue_;
    NRVXPCConnectionRef connection_;
    NRVXPCConnectionRef controlConnection_;
    // The pair of the attempt under way, until its status reply arrives.
    NRVXPCConnectionRef pendingConnection_;
    NRVXPCConnectionRef pendingControlConnection_;
    std::uint64_t retryDelay_ = 10;
    std::uint64_t connStatus_ = Disconnected;
    std::shared_ptr<NRVNerovaXPCBroker> xpcBroker_;
    // Numbers connection attempts, so that answers of a dropped attempt are ignored.
    std::uint64_t attempt_ = 0;
    std::uint64_t observerToken_ = 0;
};
