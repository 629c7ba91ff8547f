// A listener of the interprocess transport: anonymous (its endpoint is an
// abstract socket name that can travel in a message) or on a service name
// under the runtime root (only the broker and the fixed product services).
//
// Threading: methods may be called from any thread. The delegate runs on the
// listener's serial queue; it decides on each new connection, and when it
// accepts it configures and resumes the connection itself. A refused or
// unanswered connection is invalidated.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/xpc/XPCConnection.h"

namespace platform::xpc {

class Listener : public std::enable_shared_from_this<Listener> {
public:
    using Delegate = std::function<bool(const std::shared_ptr<Connection>& connection)>;

    // Bound at once, so the endpoint is known before resume; connections
    // wait in the backlog until then. Null (and error) when the socket fails.
    static std::shared_ptr<Listener> anonymous(platform::Error* error = nullptr);
    // Binds <runtime root>/xpc/<name>, creating the folders and replacing a
    // stale socket; fails when a live listener already serves the name, and
    // (with a log line) when the runtime root or xpc/ fails the ownership
    // rule of serviceFolderIsTrusted().
    static std::shared_ptr<Listener> forService(const std::string& serviceName, platform::Error* error = nullptr);
    ~Listener();

    void setDelegate(Delegate delegate);
    void resume();
    // Idempotent; stops accepting and removes a named socket of ours. Once
    // it returns (called from outside the delegate) the delegate is neither
    // running nor called again, and later connections are invalidated
    // unseen; so it must not be called from work the delegate waits for.
    void invalidate();
    Endpoint endpoint() const;
    std::shared_ptr<platform::dispatch::DispatchQueue> queue() const { return queue_; }
    bool isInvalid() const;

    struct Impl;

private:
    Listener() = default;
    std::shared_ptr<platform::dispatch::DispatchQueue> queue_;
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform::xpc
