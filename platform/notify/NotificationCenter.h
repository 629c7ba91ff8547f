// Notifications broadcast to every observing process of the machine, without
// a daemon. Each process that observes binds one datagram socket in a shared
// folder (<runtime root>/notify, mode 1777); a post sends one datagram to
// every socket there, the poster's own included, and removes sockets nobody
// listens on any more. The folder is used only when it belongs to root or
// this user (writable by others only with the sticky bit) and the folder
// above it, the runtime root, is writable by nobody else; otherwise
// observing and posting fail with a log line.
//
// Threading: every member may be called from any thread. Handlers run one at
// a time on the center's serial delivery queue, never on the main thread and
// never on the poster's stack. A handler removed while a notification is
// being delivered may still see that one notification if its delivery had
// begun; none after. The destructor stops the receiving thread and removes
// the socket; blocks already on the delivery queue still run. A process that
// exits normally, or ends on a signal taken by the termination handling,
// removes the sockets of the centers still bound.
//
// What this is not: notifications are not secret (anyone on the machine can
// observe) and their sender is not authenticated (anyone can post). Observers
// treat the name, object and user info as hostile input; the receiver drops,
// with a log line, any datagram that does not decode.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/error/Error.h"
#include "platform/notify/NotificationDatagram.h"

namespace platform::notify {

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    // Identifies who observes, for removal; never dereferenced.
    using ObserverKey = const void*;

    // The process's center, over runtimeRoot() + "/notify" as it reads when
    // the socket is bound or a post is made. Never destroyed.
    static NotificationCenter& defaultCenter();

    // A center over the folder `directory`; "" follows the runtime root.
    explicit NotificationCenter(std::string directory = "");
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // Calls `handler` for each notification whose name equals `name` (every
    // name when nullopt) and whose object equals `object` (any object when
    // nullopt). The first observer binds the process's socket and starts the
    // receiving thread; false with a reason when that fails.
    bool addObserver(ObserverKey observer, std::optional<std::string> name, std::optional<std::string> object,
                     Handler handler, platform::Error* error = nullptr);

    // Removes the observer's registrations that match `name` and `object`
    // (nullopt matches every name or object). The last removal closes the
    // socket.
    void removeObserver(ObserverKey observer, const std::optional<std::string>& name = std::nullopt,
                        const std::optional<std::string>& object = std::nullopt);

    // Sends the notification to every socket in the folder, however many.
    // Never waits: neither for a handler nor for a receiver whose queue is
    // full, which misses the notification. Removes sockets nobody listens on
    // any more. false with a reason when the notification cannot be encoded
    // or some live receiver did not take it (its queue was full).
    bool post(const Notification& notification, platform::Error* error = nullptr);

    // The folder this center uses now.
    std::string directory() const;
    // The path of this process's socket; "" while nobody observes.
    std::string socketPath() const;

    static std::string defaultDirectory();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform::notify
