// The facade a client object owns to reach a named service: any number of
// helpers (each with its own UUID) share one NRVXPCClientConnection per
// service name in the process, and each registers a status handler that is
// told the current proxy, or nil when the connection is lost.
//
// Threading: the class-wide table is touched only on sharedTaskQueue (reads
// with sync, changes as barrier blocks). connectAndWaitForFirstConnection…
// blocks its caller and must not be called on that queue, a connection
// queue or a status update queue.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "ipc/xpc/NRVXPCClientConnection.h"
#include "ipc/xpc/NRVXPCTypes.h"

class NRVXPCClientHelper {
public:
    using StatusHandler = NRVXPCClientConnection::StatusHandler;
    using ErrorBlock = NRVXPCClientConnection::ErrorBlock;
    using RefusalHandler = NRVXPCClientConnection::RefusalHandler;

    NRVXPCClientHelper();
    ~NRVXPCClientHelper();
    NRVXPCClientHelper(const NRVXPCClientHelper&) = delete;
    NRVXPCClientHelper& operator=(const NRVXPCClientHelper&) = delete;

    const std::string& uuid() const { return uuid_; }

    void connectService(const std::string& serviceName, NRVXPCProtocol protocol, StatusHandler statusHandler);
    // The same, and `refusalHandler` is told each time the process reached
    // is refused as not the expected service.
    void connectService(const std::string& serviceName, NRVXPCProtocol protocol, StatusHandler statusHandler,
                        RefusalHandler refusalHandler);
    void connectService(const std::string& serviceName, NRVXPCProtocol protocol);
    // 0 when connected within `timeout` seconds (0 meaning no limit), else
    // non-zero. The whole limit is waited also while no broker runs, so a
    // broker (and service) that comes up meanwhile is found; callers that
    // would rather give up at once without a broker check for its socket
    // themselves. A process refused as not the expected service ends the
    // wait at once, non-zero. The status handler stays registered after the
    // wait.
    long connectAndWaitForFirstConnectionForService(const std::string& serviceName, NRVXPCProtocol protocol,
                                                    double timeout);
    NRVXPCProxy remoteObjectProxyForService(const std::string& serviceName);
    NRVXPCProxy remoteObjectProxyForService(const std::string& serviceName, ErrorBlock errorHandler);
    void disconnectService(const std::string& serviceName);
    // Ends this helper's use of every service: its handlers are removed, a
    // connection no other helper uses is closed and dropped, and the call
    // returns once nothing queued for this helper (status handlers included)
    // is still to run. A second call does nothing more; a later
    // connectService starts afresh. Not to be called on sharedTaskQueue, a
    // connection queue or a status update queue.
    void stop();

    static std::map<std::string, std::shared_ptr<NRVXPCClientConnection>> sharedClientConnectionsForUnitTest();

private:
    void unregisterUUIDFromAllClients(const std::string& uuid);
    std::string uuid_;
};
