#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "platform/xpc/XPCConnection.h"
#include "platform/xpc/XPCFrame.h"
#include "platform/xpc/XPCListener.h"
#include "platform/xpc/XPCPeer.h"
#include "support/Events.h"
#include "platform/process/ProcessInfo.h"

using namespace platform::xpc;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<const Interface> echoInterface() {
    auto i = std::make_shared<Interface>("EchoProtocol");
    i->method("echo:withReply:", {Kind::String}, std::vector<Kind>{Kind::String})
        .method("hold:withReply:", {Kind::String}, std::vector<Kind>{Kind::String})
        .method("drop:withReply:", {Kind::String}, std::vector<Kind>{Kind::String})
        .method("missing:withReply:", {Kind::String}, std::vector<Kind>{Kind::String})
        .method("endpoint:withReply:", {Kind::Endpoint}, std::vector<Kind>{Kind::Endpoint, Kind::Record});
    return i;
}

// The served side narrows the protocol so that the client can make calls the
// server does not know.
std::shared_ptr<const Interface> servedInterface() {
    auto i = std::make_shared<Interface>("EchoProtocol");
    i->method("echo:withReply:", {Kind::String}, std::vector<Kind>{Kind::String})
        .method("hold:withReply:", {Kind::String}, std::vector<Kind>{Kind::String})
        .method("drop:withReply:", {Kind::String}, std::vector<Kind>{Kind::String})
        .method("endpoint:withReply:", {Kind::Endpoint}, std::vector<Kind>{Kind::Endpoint, Kind::Record});
    return i;
}

struct Outcome {
    std::optional<Values> reply;
    std::optional<Error> error;
};

// An in-process echo service on an anonymous listener.
struct EchoServer {
    std::shared_ptr<Listener> listener = Listener::anonymous();
    std::mutex mutex;
    std::vector<Reply> held;
    std::vector<std::shared_ptr<Connection>> accepted;

    // Serves `object` when given, else the echo object.
    explicit EchoServer(std::shared_ptr<ExportedObject> object = nullptr) {
        if (!object) object = echoObject();
        listener->setDelegate([this, object](const std::shared_ptr<Connection>& c) {
            c->setExportedInterface(servedInterface());
            c->setExportedObject(object);
            {
                std::lock_guard<std::mutex> lock(mutex);
                accepted.push_back(c);
            }
            c->resume();
            return true;
        });
        listener->resume();
    }
    ~EchoServer() {
        listener->invalidate();
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& c : accepted) c->invalidate();
    }

    std::shared_ptr<ExportedObject> echoObject() {
        auto object = std::make_shared<ExportedObject>();
        object->on("echo:withReply:", [](const Values& a, const Reply& r) { r({*a[0].asString()}); })
            .on("hold:withReply:", [this](const Values&, const Reply& r) {
                std::lock_guard<std::mutex> lock(mutex);
                held.push_back(r);
            })
            .on("drop:withReply:", [](const Values&, const Reply&) {})
            .on("endpoint:withReply:", [](const Values& a, const Reply& r) {
                NRVDictionary fields;
                fields.set("key", "value");
                r({a[0], CodedRecord{"NRVConfigData", fields}});
            });
        return object;
    }
};

std::shared_ptr<Connection> connectTo(const Endpoint& e) {
    auto c = Connection::createForEndpoint(e);
    c->setRemoteInterface(echoInterface());
    c->resume();
    return c;
}

Outcome callAndWait(const std::shared_ptr<Connection>& c, const std::string& selector, Values args,
                    std::chrono::milliseconds limit = 5s) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto once = std::make_shared<std::once_flag>();
    auto proxy = c->remoteObjectProxyWithErrorHandler([promise, once](const Error& e) {
        std::call_once(*once, [&] { promise->set_value(Outcome{std::nullopt, e}); });
    });
    proxy->call(selector, std::move(args), [promise, once](const Values& v) {
        std::call_once(*once, [&] { promise->set_value(Outcome{v, std::nullopt}); });
    });
    auto future = promise->get_future();
    if (future.wait_for(limit) != std::future_status::ready) return Outcome{};
    return future.get();
}

std::vector<std::uint8_t> frameBytes(const Frame& f) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(encodeFrame(f, out));
    return out;
}

int rawConnect(const Endpoint& e) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path + 1, e.name.data(), e.name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + e.name.size());
    EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&sa), len));
    return fd;
}

// True when the server closed the raw socket within the limit.
bool closedByPeer(int fd) {
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[256];
    for (;;) {
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r == 0) return true;
        if (r < 0) return false;
    }
}

}  // namespace

TEST(XPCFrame, RoundTripsEveryKindOfValue) {
    NRVDictionary dict;
    dict.set("b", NRVValue(true));
    dict.set("a", NRVArray{NRVValue(1), NRVValue(2.5), NRVValue(NRVDate{12.0}), NRVValue(NRVData{0, 255})});
    Frame call = Frame::call(7, "sel:", {NRVValue(dict), Endpoint{"nrvxpc.00"}, CodedRecord{"R", dict}, Value()}, true);
    Frame reply = Frame::reply(8, {NRVValue("x")});
    Frame error = Frame::error(9, -3, "bad");
    for (const Frame& f : {call, reply, error}) {
        auto bytes = frameBytes(f);
        Frame back;
        ASSERT_TRUE(decodeFrameBody(bytes.data() + 4, bytes.size() - 4, back));
        EXPECT_EQ(back.kind, f.kind);
        EXPECT_EQ(back.id, f.id);
        EXPECT_EQ(back.selector, f.selector);
        EXPECT_EQ(back.arguments, f.arguments);
        EXPECT_EQ(back.wantsReply, f.wantsReply);
        EXPECT_EQ(back.values, f.values);
        EXPECT_EQ(back.errorCode, f.errorCode);
        EXPECT_EQ(back.errorText, f.errorText);
    }
}

NRVValue nested(int depth) {
    NRVValue v("leaf");
    for (int i = 0; i < depth; ++i) v = NRVValue(NRVArray{v});
    return v;
}

TEST(XPCFrame, MalformedBodiesAreRefused) {
    auto good = frameBytes(Frame::call(1, "echo:withReply:", {NRVValue("hi")}, true));
    std::vector<std::uint8_t> body(good.begin() + 4, good.end());
    auto truncated = body;
    truncated.pop_back();
    auto trailing = body;
    trailing.push_back(0);
    auto wrongKind = body;
    wrongKind[0] = 9;  // a dictionary where the frame's array belongs
    auto unknownTag = body;
    unknownTag[1 + 4] = 77;
    auto hugeString = body;  // selector length far past the end
    hugeString[1 + 4 + 9 + 9 + 1] = 0x7f;
    // An endpoint inside a plain array argument.
    std::vector<std::uint8_t> endpointInside = {8, 0, 0, 0, 5, 3, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 1,
                                                5, 0, 0, 0, 1, 's', 8, 0, 0, 0, 1, 8, 0, 0, 0, 1, 10, 0, 0, 0, 1, 'x', 1};
    std::vector<std::uint8_t> tooDeep;
    {
        // Built by hand: the encoder itself refuses this depth.
        std::vector<std::uint8_t> value;
        for (int i = 0; i < 100; ++i) value.insert(value.end(), {8, 0, 0, 0, 1});
        value.push_back(0);
        tooDeep = {8, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, 0, 0, 1, 3, 0, 0, 0, 0, 0, 0, 0, 1, 8, 0, 0, 0, 1};
        tooDeep.insert(tooDeep.end(), value.begin(), value.end());
    }
    std::vector<std::uint8_t> wrongFrameKind = {8, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, 0, 0, 5, 3, 0, 0, 0, 0, 0, 0, 0, 1, 8, 0, 0, 0, 0};
    std::vector<std::uint8_t> hugeCount = {8, 0xff, 0xff, 0xff, 0xff};

    struct Case {
        const char* name;
        std::vector<std::uint8_t> body;
        const char* why;
    } cases[] = {
        {"empty", {}, "truncated value"},
        {"truncated", truncated, "truncated value"},
        {"trailing bytes", trailing, "bytes after the frame"},
        {"not an array", wrongKind, "frame is not an array"},
        {"unknown value tag", unknownTag, "expected an integer"},
        {"length past the end", hugeString, "length beyond the frame"},
        {"endpoint nested in a plain value", endpointInside, "endpoint or record inside a plain value"},
        {"nesting too deep", tooDeep, "nesting too deep"},
        {"unknown frame kind", wrongFrameKind, "unknown frame kind"},
        {"count past the end", hugeCount, "count beyond the frame"},
    };
    for (const Case& c : cases) {
        Frame f;
        std::string why;
        EXPECT_FALSE(decodeFrameBody(c.body.data(), c.body.size(), f, &why)) << c.name;
        EXPECT_EQ(why, c.why) << c.name;
    }
    std::vector<std::uint8_t> out;
    std::string why;
    EXPECT_FALSE(encodeFrame(Frame::call(1, "s", {nested(70)}, false), out, &why));
    EXPECT_EQ(why, "nesting too deep");
}

TEST(XPCTransport, CallsReplyAndBadCallsGetErrorsWhileTheConnectionStays) {
    EchoServer server;
    auto c = connectTo(server.listener->endpoint());
    auto ok = callAndWait(c, "echo:withReply:", {NRVValue("ping")});
    ASSERT_TRUE(ok.reply);
    EXPECT_EQ((*ok.reply)[0], Value("ping"));

    auto ep = callAndWait(c, "endpoint:withReply:", {Endpoint{"nrvxpc.abc"}});
    ASSERT_TRUE(ep.reply);
    EXPECT_EQ((*ep.reply)[0], Value(Endpoint{"nrvxpc.abc"}));
    ASSERT_TRUE((*ep.reply)[1].record());
    EXPECT_EQ((*ep.reply)[1].record()->className, "NRVConfigData");

    // Unknown to the server: an error reply, not a dropped connection.
    auto unknown = callAndWait(c, "missing:withReply:", {NRVValue("x")});
    ASSERT_TRUE(unknown.error);
    EXPECT_EQ(unknown.error->description, "Unrecognized selector 'missing:withReply:'.");
    // Wrong argument kind: refused before sending.
    auto wrongKind = callAndWait(c, "echo:withReply:", {NRVValue(5)});
    ASSERT_TRUE(wrongKind.error);
    EXPECT_EQ(wrongKind.error->code, kErrorReplyInvalid);
    // A peer whose protocol differs from the served one is refused by the
    // server, with the connection left up.
    {
        auto lying = std::make_shared<Interface>("EchoProtocol");
        lying->method("echo:withReply:", {Kind::Integer}, std::vector<Kind>{Kind::String})
            .method("endpoint:withReply:", {Kind::Endpoint}, std::vector<Kind>{Kind::Endpoint, Kind::Record});
        auto other = Connection::createForEndpoint(server.listener->endpoint());
        other->setRemoteInterface(lying);
        other->resume();
        auto refused = callAndWait(other, "echo:withReply:", {NRVValue(5)});
        ASSERT_TRUE(refused.error);
        EXPECT_EQ(refused.error->code, kErrorReplyInvalid);
        EXPECT_EQ(refused.error->description.rfind("Arguments of 'echo:withReply:' do not match the protocol: ", 0), 0u)
            << refused.error->description;
        EXPECT_TRUE(callAndWait(other, "endpoint:withReply:", {Endpoint{"nrvxpc.abc"}}).reply);
        other->invalidate();
    }
    // A dropped reply function answers with an error.
    auto dropped = callAndWait(c, "drop:withReply:", {NRVValue("x")});
    ASSERT_TRUE(dropped.error);
    EXPECT_EQ(dropped.error->description, "The service dropped the reply without answering.");

    EXPECT_TRUE(callAndWait(c, "echo:withReply:", {NRVValue("again")}).reply);
    EXPECT_EQ(c->processIdentifier(), getpid());
    EXPECT_TRUE(platform::process::isAuditTokenCurrent(c->auditToken()));
    c->invalidate();
}

TEST(XPCTransport, PeerGoingAwayFailsPendingCallsAndCallsTheInvalidationHandlerOnce) {
    EchoServer server;
    auto c = connectTo(server.listener->endpoint());
    std::promise<void> invalidated;
    std::atomic<int> invalidations{0};
    c->setInvalidationHandler([&] {
        if (invalidations++ == 0) invalidated.set_value();
    });
    auto pending = std::async(std::launch::async, [&] { return callAndWait(c, "hold:withReply:", {NRVValue("x")}); });
    testsupport::waitUntil([&] {
        std::lock_guard<std::mutex> lock(server.mutex);
        return !server.held.empty();
    });
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        ASSERT_EQ(server.held.size(), 1u);
        for (auto& a : server.accepted) a->invalidate();
    }
    Outcome o = pending.get();
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, kErrorInvalid);
    ASSERT_EQ(invalidated.get_future().wait_for(5s), std::future_status::ready);
    // The late answer of the held call goes nowhere.
    server.held[0]({NRVValue("late")});
    c->invalidate();
    c->invalidate();
    // A second call of the handler must not come: a short bound.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(invalidations.load(), 1);
    EXPECT_EQ(c->pendingCallCount(), 0u);
}

// The thread that reads a call runs its handler; a handler that waits for a
// reply on another connection of the same process needs another thread to
// read that reply. Several calls in a row, so that the thread standing by is
// sometimes asleep when the handler starts.
TEST(XPCTransport, HandlerWaitingForAnotherReplyOfThisProcessGetsIt) {
    EchoServer inner;
    auto innerConnection = connectTo(inner.listener->endpoint());
    auto object = std::make_shared<ExportedObject>();
    object->on("echo:withReply:", [innerConnection](const Values& a, const Reply& r) {
        Outcome o = callAndWait(innerConnection, "echo:withReply:", {a[0]}, 3s);
        r({Value(o.reply ? "relayed " + *(*o.reply)[0].asString() : std::string("no reply"))});
    });
    EchoServer relay(object);
    auto c = connectTo(relay.listener->endpoint());
    for (int i = 0; i < 3; ++i) {
        Outcome o = callAndWait(c, "echo:withReply:", {Value("x" + std::to_string(i))});
        ASSERT_TRUE(o.reply) << "call " << i;
        const std::string* text = (*o.reply)[0].asString();
        ASSERT_TRUE(text);
        EXPECT_EQ(*text, "relayed x" + std::to_string(i));
        std::this_thread::sleep_for(20ms);
    }
    c->invalidate();
    innerConnection->invalidate();
}

TEST(XPCTransport, ClearedHandlersAreNotCalledAndUnreachableEndpointsInvalidateAtOnce) {
    auto c = Connection::createForEndpoint(Endpoint{"nrvxpc.00000000000000000000000000000000"});
    c->setRemoteInterface(echoInterface());
    std::promise<void> invalidated;
    c->setInvalidationHandler([&] { invalidated.set_value(); });
    c->resume();
    ASSERT_EQ(invalidated.get_future().wait_for(2s), std::future_status::ready);
    auto o = callAndWait(c, "echo:withReply:", {NRVValue("x")});
    ASSERT_TRUE(o.error);

    EchoServer server;
    auto d = connectTo(server.listener->endpoint());
    std::atomic<bool> called{false};
    d->setInvalidationHandler([&] { called = true; });
    d->setInvalidationHandler(nullptr);
    d->invalidate();
    // The cleared handler must not be called: a short bound.
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(called.load());
}

TEST(XPCTransport, MalformedInputClosesOnlyThatConnection) {
    EchoServer server;
    auto good = connectTo(server.listener->endpoint());
    ASSERT_TRUE(callAndWait(good, "echo:withReply:", {NRVValue("a")}).reply);

    auto valid = frameBytes(Frame::call(1, "echo:withReply:", {NRVValue("x")}, true));
    std::vector<std::uint8_t> body(valid.begin() + 4, valid.end());
    auto garbled = valid;
    garbled[4] = 9;
    std::vector<std::uint8_t> oversized = {0x01, 0x00, 0x00, 0x01};  // 16 MiB + 1
    std::vector<std::uint8_t> zeroLength = {0, 0, 0, 0};
    auto tooDeep = std::vector<std::uint8_t>{0, 0, 0, 0};
    {
        std::vector<std::uint8_t> b = {8, 0, 0, 0, 5, 3, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 1,
                                       5, 0, 0, 0, 1, 's', 8, 0, 0, 0, 1};
        for (int i = 0; i < 80; ++i) b.insert(b.end(), {8, 0, 0, 0, 1});
        b.push_back(0);
        b.push_back(1);
        tooDeep = {static_cast<std::uint8_t>(b.size() >> 24), static_cast<std::uint8_t>(b.size() >> 16),
                   static_cast<std::uint8_t>(b.size() >> 8), static_cast<std::uint8_t>(b.size())};
        tooDeep.insert(tooDeep.end(), b.begin(), b.end());
    }
    for (const auto& bytes : {garbled, oversized, zeroLength, tooDeep}) {
        int fd = rawConnect(server.listener->endpoint());
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
        EXPECT_TRUE(closedByPeer(fd));
        ::close(fd);
    }
    // A short frame (fewer bytes than announced) just waits for the rest;
    // the sender leaving ends it.
    int shortFD = rawConnect(server.listener->endpoint());
    ::send(shortFD, valid.data(), valid.size() - 2, MSG_NOSIGNAL);
    ::close(shortFD);

    EXPECT_TRUE(callAndWait(good, "echo:withReply:", {NRVValue("still here")}).reply);
    good->invalidate();
}

// A connection the peer ends (here with garbage) lets go of its exported
// object, even when that object holds the connection.
TEST(XPCTransport, ClosedConnectionReleasesAnExportedObjectThatHoldsIt) {
    auto listener = Listener::anonymous();
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::weak_ptr<Connection>> seen;
    listener->setDelegate([&](const std::shared_ptr<Connection>& c) {
        auto object = std::make_shared<ExportedObject>();
        object->on("echo:withReply:", [c](const Values& a, const Reply& r) { r({*a[0].asString()}); });
        c->setExportedInterface(servedInterface());
        c->setExportedObject(object);
        c->resume();
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(c);
        changed.notify_all();
        return true;
    });
    listener->resume();
    auto garbage = std::vector<std::uint8_t>{0, 0, 0, 2, 9, 9};
    int fd = rawConnect(listener->endpoint());
    ASSERT_EQ(6, ::send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL));
    EXPECT_TRUE(closedByPeer(fd));
    ::close(fd);
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return seen.size() == 1; }));
    lock.unlock();
    // The close happens on a loop thread just after the socket is shut down.
    EXPECT_TRUE(testsupport::waitUntil([&] { return seen[0].expired(); }));
    listener->invalidate();
}

// What the delegate uses may go as soon as invalidate returns: a delegate
// call already under way is waited for.
TEST(XPCTransport, ListenerInvalidateWaitsForTheDelegateUnderWay) {
    auto listener = Listener::anonymous();
    std::promise<void> entered, invalidating;
    auto go = invalidating.get_future();
    std::atomic<bool> finished{false};
    listener->setDelegate([&](const std::shared_ptr<Connection>&) {
        entered.set_value();
        go.wait();
        std::this_thread::sleep_for(50ms);  // still busy when invalidate starts
        finished = true;
        return false;
    });
    listener->resume();
    int fd = rawConnect(listener->endpoint());
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    invalidating.set_value();
    listener->invalidate();
    EXPECT_TRUE(finished.load());
    EXPECT_TRUE(closedByPeer(fd));  // the refused connection is closed
    ::close(fd);
}

TEST(XPCTransport, NamedServicesLiveUnderTheRuntimeRoot) {
    char tmpl[] = "/tmp/nrvxpcXXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    setenv("NRV_RUNTIME_ROOT", tmpl, 1);
    EXPECT_EQ(servicePath("com.nerova.x"), std::string(tmpl) + "/xpc/com.nerova.x");
    EXPECT_FALSE(serviceSocketExists("com.nerova.x"));
    Error error;
    auto listener = Listener::forService("com.nerova.x", &error);
    ASSERT_TRUE(listener) << error.description;
    EXPECT_TRUE(serviceSocketExists("com.nerova.x"));
    EXPECT_FALSE(Listener::forService("com.nerova.x", &error));
    EXPECT_EQ(error.description, "Cannot listen for the service 'com.nerova.x': another process serves it");
    listener->invalidate();
    EXPECT_FALSE(serviceSocketExists("com.nerova.x"));
    EXPECT_FALSE(Listener::forService("../x", &error));
    unsetenv("NRV_RUNTIME_ROOT");
    std::filesystem::remove_all(tmpl);
}
