// A connection of the interprocess transport: to a named service, to an
// anonymous listener's endpoint, or accepted by a listener.
//
// Threading: every method may be called from any thread. Replies, error
// handlers, the interruption and invalidation handlers and exported calls
// all run on the connection's own serial queue, never on the caller's
// thread. A resumed connection keeps itself alive until it is invalidated
// or its peer goes away.
//
// Calls: for each call with a reply exactly one of the reply block or the
// proxy's error handler runs, once. When the peer goes away every pending
// call gets its error. There are no timeouts here: every bound is the
// caller's.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/process/AuditToken.h"
#include "platform/thread/Mutex.h"
#include "platform/xpc/XPCInterface.h"
#include "platform/xpc/XPCTypes.h"

namespace platform::xpc {

class Connection;

using ReplyBlock = std::function<void(const Values& values)>;
using ErrorHandler = std::function<void(const platform::Error& error)>;

// The answer to one incoming call. Copies share one answer: the first call
// sends it, later ones are ignored. When the last copy goes away unanswered,
// the caller gets an error reply.
class Reply {
public:
    Reply() = default;
    void operator()(Values values) const;
    bool isExpected() const { return state_ != nullptr; }
    // Sends one more answer to the same call even after the first: fake
    // services use it to play a peer that answers twice.
    void answerAgainForUnitTest(Values values) const;

private:
    friend class Connection;
    struct State;
    std::shared_ptr<State> state_;
};

using MethodHandler = std::function<void(const Values& arguments, const Reply& reply)>;

// The object a connection exports: a handler per selector. Calls are checked
// against the exported interface before they get here.
class ExportedObject {
public:
    ExportedObject& on(const std::string& selector, MethodHandler handler) {
        platform::MutexLock lock(mutex_);
        handlers_[selector] = std::move(handler);
        return *this;
    }
    MethodHandler find(const std::string& selector) const {
        platform::MutexLock lock(mutex_);
        auto it = handlers_.find(selector);
        return it == handlers_.end() ? MethodHandler() : it->second;
    }

private:
    mutable platform::Mutex mutex_;
    std::map<std::string, MethodHandler> handlers_ GUARDED_BY(mutex_);
};

// What callers send calls through. Copyable; keeps the connection alive.
class RemoteProxy {
public:
    RemoteProxy(std::shared_ptr<Connection> connection, ErrorHandler errorHandler)
        : connection_(std::move(connection)), errorHandler_(std::move(errorHandler)) {}
    void call(const std::string& selector, Values arguments, ReplyBlock reply) const;
    // One-way: no reply, and no error either unless the call itself is refused here.
    void send(const std::string& selector, Values arguments) const;
    // For log lines.
    std::string description() const;
    const std::shared_ptr<Connection>& connection() const { return connection_; }

private:
    std::shared_ptr<Connection> connection_;
    ErrorHandler errorHandler_;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Nothing happens until resume(); a service that cannot be reached makes
    // the connection invalid on resume (invalidation handler, call errors).
    static std::shared_ptr<Connection> createForService(const std::string& serviceName);
    static std::shared_ptr<Connection> createForEndpoint(const Endpoint& endpoint);
    ~Connection();

    void setRemoteInterface(std::shared_ptr<const Interface> interface);
    void setExportedInterface(std::shared_ptr<const Interface> interface);
    void setExportedObject(std::shared_ptr<ExportedObject> object);
    // A named-service connection whose peer died.
    void setInterruptionHandler(std::function<void()> handler);
    // After invalidate(), or when the peer of an endpoint or accepted
    // connection died or could not be reached.
    void setInvalidationHandler(std::function<void()> handler);

    // Resuming an accepted connection ends its peer's check: bytes the peer
    // wrote before close the connection unread, and the peer is told that it
    // may write. The connecting side sends nothing until it is told so. Every
    // byte must come from the process that connected (the kernel marks the
    // writer): another process sharing the descriptor closes the connection.
    void resume();
    // Idempotent. Handlers cleared before it are not called.
    void invalidate();

    std::shared_ptr<RemoteProxy> remoteObjectProxy();
    std::shared_ptr<RemoteProxy> remoteObjectProxyWithErrorHandler(ErrorHandler handler);

    // The peer as seen when the socket connected; 0 / a zero token before that.
    int processIdentifier() const;
    platform::AuditToken auditToken() const;
    std::uint32_t effectiveUserIdentifier() const;
    const std::string& serviceName() const { return serviceName_; }
    std::shared_ptr<platform::dispatch::DispatchQueue> queue() const { return queue_; }
    bool isInvalid() const;

    // Number of calls waiting for a reply (for tests and benchmarks).
    std::size_t pendingCallCount() const;

    struct Impl;
    // Accepted connections are made by the listener.
    static std::shared_ptr<Connection> createAccepted(int fd, const std::string& label);

private:
    Connection(std::string serviceName, std::string label);
    friend class RemoteProxy;
    friend struct Reply::State;
    void sendCall(const std::string& selector, Values arguments, ReplyBlock reply, ErrorHandler errorHandler,
                  bool wantsReply);

    std::string serviceName_;
    std::shared_ptr<platform::dispatch::DispatchQueue> queue_;
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform::xpc
