// The ordered sessions of one broker, one per route: message relays, custom
// proxy, system proxy, direct. An attempt starts on the first session; after
// a failure nextSession() names the one to try next. The container remembers
// the route that last worked (smart reset), can drop routes that failed
// (discard), keeps the tasks it started so that callbacks find their way
// back to it, and describes each session's route for the response records.
//
// Threading: every call may be made from any thread. The lists, tables and
// flags are read and changed under one recursive lock, stateMutex_, held
// for a few lines at a time instead of a thread hand-off per call (a
// request makes several); a call made while the same thread holds it (a
// nested call) runs in place. Session resets, and the waits for them, happen
// after the lock is released, so a reset that completes on another thread
// may call into the container. addTask inserts at once;
// terminateAllAvailableTasks runs later on the container's serial queue
// "com.nerova.nrvurlsession.container.taskqueue" and returns at once. The
// handler blocks (authentication, push, web socket) are guarded by a lock of
// their own, handlersMutex_, which is never held together with stateMutex_.
// Lock order: a session's own locks (its cookie store, taken by a reset)
// come after stateMutex_, never before it; today no session call is made
// with stateMutex_ held at all, which is what lets a reset's completion
// call back in from another thread.
// Destroying the container invalidates its sessions and closes its push
// stream and web socket.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/session/NRVURLAuthenticationChallenge.h"
#include "net/broker/NRVURLBrokerConfiguration.h"
#include "net/url/NRVURLResponse.h"
#include "net/session/NRVURLSession.h"
#include "net/session/NRVURLSessionTask.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/thread/Mutex.h"
#include "platform/thread/RecursiveMutex.h"

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
    // Runs block with stateMutex_ held.
    void withStateLock(const std::function<void()>& block);
    void resetSessionAndWait(const NRVURLSessionRef& session);

    bool discardInvalidSession_ GUARDED_BY(stateMutex_) = false;
    bool enableSmartReset_ GUARDED_BY(stateMutex_) = false;
    std::map<std::uint64_t, NRVURLBrokerConfigurationRef> sessionConfigType_ GUARDED_BY(stateMutex_);
    std::vector<std::weak_ptr<NRVURLSessionTask>> availableTasks_ GUARDED_BY(stateMutex_);
    std::vector<NRVURLSessionRef> invalidSessions_ GUARDED_BY(stateMutex_);
    std::vector<NRVURLSessionRef> sessions_ GUARDED_BY(stateMutex_);
    NRVURLSessionRef lastSuccessfulSession_ GUARDED_BY(stateMutex_);

    platform::RecursiveMutex stateMutex_;
    const NRVURLBrokerConfigurationRef initialConfiguration_;
    std::shared_ptr<platform::dispatch::DispatchQueue> taskQueue_;

    mutable platform::Mutex handlersMutex_;
    NRVURLAuthenticationHandler authHandler_ GUARDED_BY(handlersMutex_);
    NRVPushConnectionHandler connectionHandler_ GUARDED_BY(handlersMutex_);
    NRVWebSocketHandler webSocketHandler_ GUARDED_BY(handlersMutex_);
    std::shared_ptr<NRVWebSocketTask> webSocketTask_ GUARDED_BY(handlersMutex_);
};
