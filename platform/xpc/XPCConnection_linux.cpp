#include "platform/xpc/XPCConnection.h"

#include <atomic>
#include <optional>
#include <sstream>
#include <unordered_map>

#include "platform/log/LogStore.h"
#include "platform/thread/Mutex.h"
#include "platform/xpc/XPCIOLoop.h"
#include "platform/xpc/XPCPeer.h"

namespace platform::xpc {

using platform::dispatch::DispatchQueue;

namespace {

void logError(const std::string& message) {
    platform::log::write("com.nerova.rivovovuvev", "xpc", platform::log::Level::Error, message);
}

// An error reply names a selector it refuses by at most this many bytes of
// it: what a peer sends is not sent back whole (a selector may be megabytes).
constexpr std::size_t kMaxEchoedSelector = 128;

std::string echoedSelector(const std::string& selector) {
    if (selector.size() <= kMaxEchoedSelector) return selector;
    std::size_t cut = kMaxEchoedSelector;
    while (cut > 0 && (static_cast<unsigned char>(selector[cut]) & 0xC0) == 0x80) --cut;  // whole UTF-8 characters
    return selector.substr(0, cut) + "…";
}

enum class Origin { Service, Endpoint, Accepted };
enum class State { Created, Active, Interrupted, Invalid };

struct PendingCall {
    ReplyBlock reply;
    ErrorHandler onError;
    std::optional<std::vector<Kind>> replyKinds;
};

}  // namespace

struct Connection::Impl : detail::ChannelDelegate, std::enable_shared_from_this<Connection::Impl> {
    Origin origin = Origin::Service;
    std::string address;  // service name or endpoint name
    std::string label;
    std::shared_ptr<DispatchQueue> queue;

    mutable platform::Mutex mutex;
    State state GUARDED_BY(mutex) = State::Created;
    ScopedFD acceptedFD GUARDED_BY(mutex);
    std::shared_ptr<detail::Channel> channel GUARDED_BY(mutex);
    std::shared_ptr<const Interface> remoteInterface, exportedInterface;
    std::shared_ptr<ExportedObject> exportedObject GUARDED_BY(mutex);
    std::function<void()> interruptionHandler, invalidationHandler;
    std::unordered_map<std::uint64_t, PendingCall> pending GUARDED_BY(mutex);
    std::uint64_t nextID GUARDED_BY(mutex) = 1;
    int pid = 0;
    platform::AuditToken token;
    std::uint32_t euid = 0;

    platform::Error errorForState(State s) const {
        if (s == State::Interrupted)
            return transportError(kErrorInterrupted, "The connection to the service '" + address + "' was interrupted.");
        if (s == State::Created) return transportError(kErrorInvalid, "The connection was used before it was resumed.");
        return transportError(kErrorInvalid, "The connection to '" + address + "' was invalidated.");
    }

    void takePeer(int fd) {
        PeerIdentity peer = readPeerIdentity(fd);
        pid = peer.pid;
        token = peer.auditToken();
        euid = peer.uid;
    }

    void failAll(std::unordered_map<std::uint64_t, PendingCall> calls, const platform::Error& error,
                 std::function<void()> handler) {
        if (calls.empty() && !handler) return;
        queue->async([calls = std::move(calls), error, handler = std::move(handler)] {
            for (const auto& [id, call] : calls)
                if (call.onError) call.onError(error);
            if (handler) handler();
        });
    }

    void channelReceived(Frame frame, detail::InputCredit credit) override {
        // The credit goes with the block, once the frame was handled.
        queue->async([self = shared_from_this(), frame = std::move(frame), credit = std::move(credit)]() mutable {
            self->handle(std::move(frame));
        });
    }

    // With mutex held, on the way to Invalid: what may hold whoever holds
    // this connection goes, handed to the caller to drop without the lock.
    void releaseLocked(std::shared_ptr<ExportedObject>& object, std::shared_ptr<detail::Channel>& ch) REQUIRES(mutex) {
        interruptionHandler = nullptr;
        invalidationHandler = nullptr;
        object = std::move(exportedObject);
        ch = std::move(channel);
        acceptedFD.reset();
    }

    void channelClosed(bool malformed) override {
        // In the queue, after the frames that came before the end: what the
        // peer sent before it went (a one-way call just before it ended, a
        // reply) is handled first, as it would be had the end come later.
        (void)malformed;
        queue->async([self = shared_from_this()] { self->peerWent(); });
    }

    void peerWent() {
        std::unordered_map<std::uint64_t, PendingCall> calls;
        std::function<void()> handler;
        std::shared_ptr<ExportedObject> object;
        std::shared_ptr<detail::Channel> closed;
        State newState;
        {
            platform::MutexLock lock(mutex);
            if (state != State::Active) return;
            newState = origin == Origin::Service ? State::Interrupted : State::Invalid;
            state = newState;
            calls.swap(pending);
            handler = newState == State::Interrupted ? interruptionHandler : invalidationHandler;
            if (newState == State::Invalid) releaseLocked(object, closed);
        }
        failAll(std::move(calls), errorForState(newState), std::move(handler));
    }

    bool sendFrame(const Frame& frame) {
        std::vector<std::uint8_t> bytes;
        platform::Error why;
        if (!encodeFrame(frame, bytes, &why)) {
            logError("Cannot send a frame to " + label + ": " + why.description);
            return false;
        }
        std::shared_ptr<detail::Channel> ch;
        {
            platform::MutexLock lock(mutex);
            if (state != State::Active) return false;
            ch = channel;
        }
        return ch && ch->send(bytes);
    }

    void sendErrorReply(std::uint64_t id, std::int64_t code, std::string text) {
        sendFrame(Frame::error(id, code, std::move(text)));
    }

    void handle(Frame frame) {
        switch (frame.kind) {
            case Frame::Kind::Call: handleCall(std::move(frame)); break;
            case Frame::Kind::Reply:
            case Frame::Kind::Error: handleAnswer(std::move(frame)); break;
        }
    }

    void handleCall(Frame frame);

    void handleAnswer(Frame frame) {
        PendingCall call;
        {
            platform::MutexLock lock(mutex);
            auto it = pending.find(frame.id);
            if (it == pending.end()) {
                logError("Ignoring an answer to an unknown call " + std::to_string(frame.id) + " on " + label + ".");
                return;
            }
            call = std::move(it->second);
            pending.erase(it);
        }
        if (frame.kind == Frame::Kind::Error) {
            if (call.onError) call.onError(transportError(frame.errorCode, frame.errorText));
            return;
        }
        if (call.replyKinds) {
            std::string wrong = Interface::mismatch(*call.replyKinds, frame.values);
            if (!wrong.empty()) {
                if (call.onError) call.onError(transportError(kErrorReplyInvalid, "The reply does not match the protocol: " + wrong + "."));
                return;
            }
        }
        if (call.reply) call.reply(frame.values);
    }
};

struct Reply::State {
    std::weak_ptr<Connection::Impl> impl;
    std::uint64_t id = 0;
    std::atomic<bool> answered{false};

    ~State() {
        if (answered.load()) return;
        if (auto i = impl.lock())
            i->sendErrorReply(id, kErrorReplyInvalid, "The service dropped the reply without answering.");
    }
};

void Reply::operator()(Values values) const {
    if (!state_ || state_->answered.exchange(true)) return;
    if (auto i = state_->impl.lock()) i->sendFrame(Frame::reply(state_->id, std::move(values)));
}

void Reply::answerAgainForUnitTest(Values values) const {
    if (!state_) return;
    state_->answered.store(true);
    if (auto i = state_->impl.lock()) i->sendFrame(Frame::reply(state_->id, std::move(values)));
}

void Connection::Impl::handleCall(Frame frame) {
    std::shared_ptr<const Interface> interface;
    std::shared_ptr<ExportedObject> object;
    {
        platform::MutexLock lock(mutex);
        if (state != State::Active) return;
        interface = exportedInterface;
        object = exportedObject;
    }
    auto refuse = [&](const std::string& why) {
        if (frame.wantsReply) sendErrorReply(frame.id, kErrorReplyInvalid, why);
    };
    const Method* method = interface ? interface->find(frame.selector) : nullptr;
    MethodHandler handler = object ? object->find(frame.selector) : MethodHandler();
    if (!method || !handler) {
        refuse("Unrecognized selector '" + echoedSelector(frame.selector) + "'.");
        return;
    }
    std::string wrong = Interface::mismatch(method->arguments, frame.arguments);
    if (!wrong.empty()) {
        refuse("Arguments of '" + frame.selector + "' do not match the protocol: " + wrong + ".");
        return;
    }
    if (method->reply.has_value() != frame.wantsReply) {
        refuse("'" + frame.selector + "' is called with the wrong reply form.");
        return;
    }
    Reply reply;
    if (frame.wantsReply) {
        reply.state_ = std::make_shared<Reply::State>();
        reply.state_->impl = weak_from_this();
        reply.state_->id = frame.id;
    }
    handler(frame.arguments, reply);
}

// Connection

Connection::Connection(std::string serviceName, std::string label)
    : serviceName_(std::move(serviceName)),
      queue_(DispatchQueue::createSerial(label)),
      impl_(std::make_shared<Impl>()) {
    impl_->label = std::move(label);
    impl_->queue = queue_;
}

Connection::~Connection() = default;

std::shared_ptr<Connection> Connection::createForService(const std::string& serviceName) {
    std::shared_ptr<Connection> c(new Connection(serviceName, "com.nerova.xpc.connection." + serviceName));
    c->impl_->origin = Origin::Service;
    c->impl_->address = serviceName;
    return c;
}

std::shared_ptr<Connection> Connection::createForEndpoint(const Endpoint& endpoint) {
    std::shared_ptr<Connection> c(new Connection("", "com.nerova.xpc.connection." + endpoint.name));
    c->impl_->origin = Origin::Endpoint;
    c->impl_->address = endpoint.name;
    return c;
}

std::shared_ptr<Connection> Connection::createAccepted(int fd, const std::string& label) {
    std::shared_ptr<Connection> c(new Connection("", "com.nerova.xpc.connection.accepted." + label));
    c->impl_->origin = Origin::Accepted;
    c->impl_->address = label;
    {
        platform::MutexLock lock(c->impl_->mutex);
        c->impl_->acceptedFD.reset(fd);
    }
    c->impl_->takePeer(fd);
    return c;
}

void Connection::setRemoteInterface(std::shared_ptr<const Interface> interface) {
    platform::MutexLock lock(impl_->mutex);
    impl_->remoteInterface = std::move(interface);
}

void Connection::setExportedInterface(std::shared_ptr<const Interface> interface) {
    platform::MutexLock lock(impl_->mutex);
    impl_->exportedInterface = std::move(interface);
}

void Connection::setExportedObject(std::shared_ptr<ExportedObject> object) {
    platform::MutexLock lock(impl_->mutex);
    impl_->exportedObject = std::move(object);
}

void Connection::setInterruptionHandler(std::function<void()> handler) {
    platform::MutexLock lock(impl_->mutex);
    impl_->interruptionHandler = std::move(handler);
}

void Connection::setInvalidationHandler(std::function<void()> handler) {
    platform::MutexLock lock(impl_->mutex);
    impl_->invalidationHandler = std::move(handler);
}

void Connection::resume() {
    Impl& d = *impl_;
    std::shared_ptr<detail::Channel> channel, unused;
    std::shared_ptr<ExportedObject> object;
    std::function<void()> failed;
    {
        platform::MutexLock lock(d.mutex);
        if (d.state != State::Created) return;
        ScopedFD fd;
        if (d.origin == Origin::Accepted) {
            fd = std::move(d.acceptedFD);
            // Resuming an accepted connection ends its check. A peer of ours
            // writes only once told it was checked: bytes already here were
            // written before, maybe by the program the process ran before
            // the one that was checked, and are never executed.
            if (fd && hasPendingInput(fd.get())) {
                logError("Closing " + d.label + ": process " + std::to_string(d.pid) +
                         " wrote before it was checked.");
                fd.reset();
                d.state = State::Invalid;
                failed = std::move(d.invalidationHandler);
                d.releaseLocked(object, unused);
            }
        } else {
            platform::Error why;
            bool abstract = d.origin == Origin::Endpoint;
            if (abstract || serviceFolderIsTrusted(&why)) {
                fd = detail::connectSocket(abstract ? d.address : servicePath(d.address), abstract, nullptr);
            } else if (serviceSocketExists(d.address)) {
                logError("Not connecting to the service '" + d.address + "': " + why.description);
            }
            if (!fd) {
                d.state = State::Invalid;
                failed = std::move(d.invalidationHandler);
                d.releaseLocked(object, unused);
            } else {
                d.takePeer(fd.get());
            }
        }
        if (fd) {
            d.state = State::Active;
            d.channel = std::make_shared<detail::Channel>(std::move(fd), d.label);
            d.channel->expectSender(d.pid);
            if (d.origin == Origin::Accepted) {
                d.channel->sendReady();
            } else {
                d.channel->holdUntilPeerReady();
            }
            channel = d.channel;
        }
    }
    if (failed) d.failAll({}, d.errorForState(State::Invalid), std::move(failed));
    if (channel) channel->start(impl_);
}

void Connection::invalidate() {
    Impl& d = *impl_;
    std::unordered_map<std::uint64_t, PendingCall> calls;
    std::function<void()> handler;
    std::shared_ptr<detail::Channel> channel;
    std::shared_ptr<ExportedObject> object;
    {
        platform::MutexLock lock(d.mutex);
        if (d.state == State::Invalid) return;
        d.state = State::Invalid;
        calls.swap(d.pending);
        handler = std::move(d.invalidationHandler);
        d.releaseLocked(object, channel);
    }
    if (channel) channel->close();
    d.failAll(std::move(calls), d.errorForState(State::Invalid), std::move(handler));
}

bool Connection::isInvalid() const {
    platform::MutexLock lock(impl_->mutex);
    return impl_->state == State::Invalid;
}

std::size_t Connection::pendingCallCount() const {
    platform::MutexLock lock(impl_->mutex);
    return impl_->pending.size();
}

int Connection::processIdentifier() const {
    platform::MutexLock lock(impl_->mutex);
    return impl_->pid;
}

platform::AuditToken Connection::auditToken() const {
    platform::MutexLock lock(impl_->mutex);
    return impl_->token;
}

std::uint32_t Connection::effectiveUserIdentifier() const {
    platform::MutexLock lock(impl_->mutex);
    return impl_->euid;
}

std::shared_ptr<RemoteProxy> Connection::remoteObjectProxy() {
    return std::make_shared<RemoteProxy>(shared_from_this(), nullptr);
}

std::shared_ptr<RemoteProxy> Connection::remoteObjectProxyWithErrorHandler(ErrorHandler handler) {
    return std::make_shared<RemoteProxy>(shared_from_this(), std::move(handler));
}

void Connection::sendCall(const std::string& selector, Values arguments, ReplyBlock reply, ErrorHandler onError,
                          bool wantsReply) {
    Impl& d = *impl_;
    auto failSoon = [&](platform::Error error) {
        if (!onError) return;
        queue_->async([onError, error = std::move(error)] { onError(error); });
    };
    std::shared_ptr<const Interface> interface;
    {
        platform::MutexLock lock(d.mutex);
        interface = d.remoteInterface;
    }
    const Method* method = interface ? interface->find(selector) : nullptr;
    if (!method) {
        failSoon(transportError(kErrorReplyInvalid, "Unrecognized selector '" + selector + "' for the remote interface."));
        return;
    }
    std::string wrong = Interface::mismatch(method->arguments, arguments);
    if (!wrong.empty()) {
        failSoon(transportError(kErrorReplyInvalid, "Arguments of '" + selector + "' do not match the protocol: " + wrong + "."));
        return;
    }
    if (method->reply.has_value() != wantsReply) {
        failSoon(transportError(kErrorReplyInvalid, "'" + selector + "' is sent with the wrong reply form."));
        return;
    }
    std::vector<std::uint8_t> bytes;
    std::shared_ptr<detail::Channel> channel;
    std::uint64_t id;
    {
        platform::MutexLock lock(d.mutex);
        if (d.state != State::Active) {
            platform::Error e = d.errorForState(d.state);
            failSoon(std::move(e));
            return;
        }
        id = d.nextID++;
        platform::Error why;
        if (!encodeFrame(Frame::call(id, selector, std::move(arguments), wantsReply), bytes, &why)) {
            failSoon(transportError(kErrorReplyInvalid,
                                    "The call '" + selector + "' cannot be sent: " + why.description + "."));
            return;
        }
        if (wantsReply) d.pending.emplace(id, PendingCall{std::move(reply), onError, method->reply});
        channel = d.channel;
    }
    // A failed send shuts the socket down; the close then fails the call.
    channel->send(bytes);
}

void RemoteProxy::call(const std::string& selector, Values arguments, ReplyBlock reply) const {
    connection_->sendCall(selector, std::move(arguments), std::move(reply), errorHandler_, true);
}

void RemoteProxy::send(const std::string& selector, Values arguments) const {
    connection_->sendCall(selector, std::move(arguments), nullptr, errorHandler_, false);
}

std::string RemoteProxy::description() const {
    std::ostringstream out;
    out << "<NRVXPCRemoteProxy " << connection_->impl_->label << " pid " << connection_->processIdentifier() << ">";
    return out.str();
}

}  // namespace platform::xpc
