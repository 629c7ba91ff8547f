// HTTP(S) transfers over libcurl: one engine owns one multi handle and the
// thread that drives it; sessions are routes (system proxy, no proxy, one
// explicit proxy) whose transfers share the engine's connection cache.
//
// Threading: every public call is thread-safe and returns at once; the
// delegate callbacks of a transfer run on the engine's thread, one at a time,
// in the order response, data..., completion. A callback must not block on
// work that needs the engine's thread; the trust hook alone may wait for a
// queue given to dispatch() (the engine lets a pool thread run that queue
// first). Destroying the engine cancels what is still running (each transfer
// completes with Cancelled) and joins the thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/error/Error.h"

struct x509_store_ctx_st;

namespace platform::http {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct ProxyRoute {
    enum class Mode { System, None, Explicit };
    Mode mode = Mode::System;
    std::string host;
    std::uint16_t port = 0;
};

struct Credentials {
    std::string user;
    std::string password;
};

// The peer's chain as OpenSSL presents it at the end of the handshake, and
// the host of the connection it came on (after a redirect, the new host).
// Answer true to accept the chain; a refusal may say why in the error's
// description.
using ServerTrustHook =
    std::function<bool(x509_store_ctx_st* chain, const std::string& host, platform::Error* error)>;

// The OpenSSL security level every TLS connection of the engine keeps at
// least: keys and signatures under 112 bits (RSA below 2048 bits, SHA-1 and
// MD5 signatures) are refused, whatever the trust hook answers.
constexpr int kMinimumSecurityLevel = 2;

struct Request {
    std::string url;
    std::string method = "GET";
    HeaderList headers;
    // Sent as the body when set (uploads and PUT/POST data).
    std::shared_ptr<const std::string> body;
    // Idle limit: the transfer fails when nothing arrives for this long; 0 is none.
    long idleTimeoutMs = 60000;
    // Limit on the whole transfer; 0 is none.
    long totalTimeoutMs = 0;
    std::optional<Credentials> proxyCredentials;
    // Sent to a server that asks with Basic or Digest.
    std::optional<Credentials> serverCredentials;
    // When set, the body is written to this file instead of handed out.
    std::string downloadPath;
    // Response headers above this size end the transfer with TooLarge.
    std::size_t maxHeaderBytes = 256 * 1024;
    // Body bytes (as decoded) past this end the transfer with TooLarge; 0 is none.
    std::uint64_t maxBodyBytes = 0;
    // The same for a body the server sent compressed (Content-Encoding); 0 is none.
    std::uint64_t maxDecodedBytes = 0;
};

struct ResponseHead {
    long status = 0;
    std::string url;
    HeaderList headers;
};

enum class TransferErrorKind {
    None,
    Cancelled,          // by cancel(), or the delegate asked to stop
    ConnectFailed,      // refused or unreachable
    HostNotFound,
    TimedOut,
    ServerTrustRefused, // the chain was refused (see trustFailureReason)
    SecureConnectionFailed,  // the TLS handshake failed for another reason
    ConnectionLost,     // cut short: wrong length, broken chunking, closed
    TooLarge,           // headers or body above their limit
    ProxyFailed,        // the proxy refused the tunnel (see proxyConnectStatus)
    BadResponse,
    UnsupportedURL,     // a scheme other than http and https (also in a redirect)
    FileError,
    Other,
};

struct TransferResult {
    TransferErrorKind kind = TransferErrorKind::None;
    std::string message;            // libcurl's text for the failure
    std::string trustFailureReason; // why the chain was refused (ServerTrustRefused)
    long proxyConnectStatus = 0;    // status of the proxy's answer to CONNECT, 0 without tunnel
    bool proxyAsksBasicOrDigest = false;  // the proxy offered Basic or Digest
    std::optional<ResponseHead> response;
    std::uint64_t bytesReceived = 0;
};

struct TransferDelegate {
    std::function<void(const ResponseHead&)> onResponse;
    // Return false to stop the transfer (it then completes with Cancelled).
    std::function<bool(const char* data, std::size_t size)> onData;
    // The result is the delegate's: a callback may take it by value.
    std::function<void(TransferResult)> onComplete;
};

class Transfer {
public:
    virtual ~Transfer() = default;
    // Ends the transfer; its completion reports Cancelled unless it already ended.
    virtual void cancel() = 0;
    virtual bool isRunning() const = 0;
};

// A cookie as a session keeps it.
struct Cookie {
    std::string name;
    std::string value;
    std::string domain;  // without the leading dot
    std::string path;
    bool secure = false;
    bool httpOnly = false;
    bool hostOnly = true;
    std::int64_t expires = 0;  // Unix time; 0 for a session-only cookie
};

class Session {
public:
    virtual ~Session() = default;
    virtual const ProxyRoute& route() const = 0;
    // Forgets the session's cookies and makes its next transfer open a new
    // connection; `done` runs on the caller's thread before reset returns, so
    // a reset never waits on the engine's thread.
    virtual void reset(std::function<void()> done) = 0;
    // The cookies the session would send to `url`.
    virtual std::vector<Cookie> cookiesForURL(const std::string& url) = 0;
    // Running transfers finish; later ones fail at once with Cancelled.
    virtual void finishTasksAndInvalidate() = 0;
    virtual bool isInvalidated() const = 0;
};

// A raw byte stream to a server, opened through the session's route (with a
// CONNECT tunnel through a proxy) and the trust hook, for protocols that take
// over the connection after the handshake (web sockets). send() and
// receive() may be called from two threads at once; close() from any thread
// wakes a blocked receive().
class StreamConnection {
public:
    virtual ~StreamConnection() = default;
    static constexpr int kReadable = 1;
    static constexpr int kWritable = 2;

    // Sends everything or fails.
    virtual bool send(const void* data, std::size_t size, platform::Error* error) = 0;
    // Sends what the connection takes now, without waiting: the bytes sent
    // (0 when it takes none now), -1 when it failed.
    virtual long sendSome(const void* data, std::size_t size, platform::Error* error) = 0;
    // Waits at most timeoutMs until the connection has something to read,
    // or (with forWrite) room to write: kReadable | kWritable, 0 when the
    // time passed, -1 once closed.
    virtual int wait(bool forWrite, int timeoutMs) = 0;
    // Bytes read (> 0), 0 when nothing came within the limit, -1 when the
    // peer closed or the connection failed.
    virtual long receive(void* buffer, std::size_t capacity, int timeoutMs, platform::Error* error) = 0;
    virtual void close() = 0;
};

class Engine {
public:
    static std::shared_ptr<Engine> create(const std::string& name);
    virtual ~Engine() = default;

    virtual std::shared_ptr<Session> createSession(const ProxyRoute& route) = 0;
    // Starts the transfer on the session. The delegate's completion always runs
    // exactly once, also for a transfer refused at start.
    virtual std::shared_ptr<Transfer> start(const std::shared_ptr<Session>& session, Request request,
                                            TransferDelegate delegate, ServerTrustHook trust) = 0;
    // Opens a stream connection to the host of an http:// or https:// URL.
    // Blocks the caller until connected or failed (failure in *result).
    virtual std::unique_ptr<StreamConnection> openStream(const std::shared_ptr<Session>& session, const std::string& url,
                                                         const std::optional<Credentials>& proxyCredentials,
                                                         long connectTimeoutMs, ServerTrustHook trust,
                                                         TransferResult* result) = 0;
    // The machine's proxy for a URL, used by System sessions; without a
    // resolver (or when it answers nothing) the environment's proxy variables apply.
    virtual void setSystemProxyResolver(std::function<std::optional<ProxyRoute>(const std::string& url)> resolver) = 0;
    // Adds `block` to `queue` at once, as queue->async does. When the queue
    // is idle and would borrow a pool thread to run it, the engine's thread
    // runs the queue instead: from another thread that is the one hand-over
    // the work needs anyway (it mostly starts transfers), and from a callback
    // on the engine's thread the queue runs right after the callback, with no
    // hand-over at all. Meant for the queue that starts the engine's
    // transfers and takes their callbacks; while the engine's thread runs
    // it, transfers wait, so its blocks must be short.
    virtual void dispatch(const std::shared_ptr<platform::dispatch::DispatchQueue>& queue,
                          platform::dispatch::Block block) = 0;
};

}  // namespace platform::http
