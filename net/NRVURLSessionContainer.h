// The ordered sessions of one broker, one per route: message relays, custom
// proxy, system proxy, direct. An attempt starts on the first session; after
// a failure nextSession() names the one to try next. The container remembers
// the route that last worked (smart reset), can drop routes that failed
// (discard), keeps the tasks it started so that callbacks find their way
// back to it, and describes each session's route for the response records.
//
// Threading: the lists, tables and flags are read and changed under one
// recursive lock, one caller at a time, as on a serial queue but without a
// thread hand-off per call (a request makes several); addTask inserts at
// once, terminateAllAvailableTasks runs later on the container's serial
// queue "com.nerova.nrvurlsession.container.taskqueue" and returns at once. A call
// made while the lock is held by the same thread (a reset's completion, a
// nested call) runs in place: nothing here ever waits for itself. The handler
// blocks (authentication, push, web socket) are guarded by a lock of their
// own. Destroying the container invalidates its sessions and closes its push
// stream and web socket.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/NRVURLAuthenticationChallenge.h"
#include "net/NRVURLBrokerConfiguration.h"
#include "net/NRVURLResponse.h"
#include "net/NRVURLSession.h"
#include "net/NRVURLSessionTask.h"
#include "platform/dispatch/Dispatch.h"

class NRVWebSocketTask;

// Push connection handler: (response or nil, data or nil, error or nil).
using NRVPushConnectionHandler =
    std::function<void(std::shared_ptr<NRVURLResponse>, std::optional<NRVData>, NRVErrorRef)>;
// Web-socket handler: (event 1 opened, 2 message, 3 closed, 4 failure;
// response or nil, text or nil, data or nil, error or nil).
using NRVWebSocketHandler = std::function<void(long, std::shared_ptr<NRVURLResponse>, std::optional<std::string>,
                                               std::optional<NRVData>, NRVErrorRef)>;

class NRVURLSessionContainer;
using NRVURLSessionContainerRef = std::shared_ptr<NRVURLSessionContainer>;

class NRVURLSessionContainer {
public:
    explicit NRVURLSessionContainer(NRVURLBrokerConfigurationRef initialConfiguration);
    ~NRVURLSessionContainer();
    NRVURLSessionContainer(const NRVURLSessionContainer&) = delete;
    NRVURLSessionContainer& operator=(const NRVURLSessionContainer&) = delete;

    void addSession(const NRVURLSessionRef& session, const NRVURLBrokerConfigurationRef& configuration);
    NRVURLBrokerConfigurationRef findConfigurationForSession(const NRVURLSessionRef& session);
    NRVURLSessionRef firstSession();
    NRVURLSessionRef nextSession(const NRVURLSessionRef& failed);
    void reportSuccessForSession(const NRVURLSessionRef& session);

    void addTask(const NRVURLSessionTaskRef& task);
    void addTaskSynchronously(const NRVURLSessionTaskRef& task);
    bool hasTask(const NRVURLSessionTask* task);
    void terminateAllAvailableTasks();

    NRVDictionary proxyDetailsForSession(const NRVURLSessionRef& session);

    // The live sessions in failover order (a copy).
    std::vector<NRVURLSessionRef> sessions();
    bool discardInvalidSession();
    bool enableSmartReset();
    const NRVURLBrokerConfigurationRef& initialConfiguration() const { return initialConfiguration_; }

    NRVURLAuthenticationHandler authHandler() const;
    void setAuthHandler(NRVURLAuthenticationHandler handler);
    NRVPushConnectionHandler connectionHandler() const;
    void setConnectionHandler(NRVPushConnectionHandler handler);
    NRVWebSocketHandler webSocketHandler() const;
    void setWebSocketHandler(NRVWebSocketHandler handler);
    std::shared_ptr<NRVWebSocketTask> webSocketTask() const;
    void setWebSocketTask(std::shared_ptr<NRVWebSocketTask> task);

private:
    void onQueue(const std::function<void()>& block);
    void resetSessionAndWait(const NRVURLSessionRef& session);

    // Queue state.
    bool discardInvalidSession_ = false;
    bool enableSmartReset_ = false;
    std::map<std::uint64_t, NRVURLBrokerConfigurationRef> sessionConfigType_;
    std::vector<std::weak_ptr<NRVURLSessionTask>> availableTasks_;
    std::vector<NRVURLSessionRef> invalidSessions_;
    std::vector<NRVURLSessionRef> sessions_;
    NRVURLSessionRef lastSuccessfulSession_;

    std::recursive_mutex stateMutex_;
    const NRVURLBrokerConfigurationRef initialConfiguration_;
    std::shared_ptr<platform::dispatch::DispatchQueue> taskQueue_;

    mutable std::mutex handlersMutex_;
    NRVURLAuthenticationHandler authHandler_;
    NRVPushConnectionHandler connectionHandler_;
    NRVWebSocketHandler webSocketHandler_;
    std::shared_ptr<NRVWebSocketTask> webSocketTask_;
};
