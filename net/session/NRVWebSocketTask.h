// A web-socket task: the opening handshake over a stream connection of its
// session's route, then messages through the RFC 6455 codec of
// platform/websocket (client frames masked, fragmented messages joined,
// pings answered, the close handshake, protocol errors closed with their
// code), on a thread of its own that reads the connection. The request's
// timeout covers the handshake.
//
// Threading: every call is thread-safe and none waits for the peer: a frame
// the connection does not take at once waits in the task's queue of unsent
// bytes, which its thread writes as the peer reads. The callbacks run on the
// task's thread, one at a time; the handler hops them onto its queue.
// Destroying the task closes the connection and joins its thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/session/NRVURLSessionTask.h"
#include "platform/http/HttpEngine.h"
#include "platform/websocket/WebSocketFrame.h"

class NRVWebSocketTask : public NRVURLSessionTask, public std::enable_shared_from_this<NRVWebSocketTask> {
public:
    static constexpr std::uint16_t kGoingAway = platform::websocket::kGoingAway;

    struct Message {
        bool isText = false;
        std::string text;
        NRVData data;
    };

    struct Callbacks {
        // The connection is open (or could not be opened: error set, with the
        // handshake's response when one arrived).
        std::function<void(const std::optional<platform::http::TransferResult>& failure)> onOpenOrFail;
        std::function<void(const Message&)> onMessage;
        // The peer closed (code and reason), or the connection broke (error text).
        std::function<void(std::uint16_t code, const std::string& reason, const std::string& error)> onEnd;
    };

    NRVWebSocketTask(NRVURLRequest request, NRVURLSessionRef session, std::shared_ptr<platform::http::Engine> engine);
    ~NRVWebSocketTask() override;

    // Connects on the task's thread. `trust` answers the server's chain;
    // `proxyCredentials` returns credentials for a proxy that asked for them
    // (the argument counts earlier refusals), nullopt to give up.
    void resume(Callbacks callbacks, platform::http::ServerTrustHook trust,
                std::function<std::optional<platform::http::Credentials>(long previousFailures)> proxyCredentials);

    // What one socket may hold unsent, and how long it waits for its peer
    // to take more of it: past either the socket fails, as a peer that does
    // not read is no better than a dead one.
    static constexpr std::size_t kMaximumUnsentBytes = 4u << 20;
    static constexpr std::chrono::seconds kDrainLimit{30};
    // Lowers the two limits above; before resume().
    void setSendLimits(std::size_t unsentBytes, std::chrono::steady_clock::duration drainLimit) {
        maxUnsent_ = unsentBytes;
        drainLimit_ = drainLimit;
    }

    // Queues the frame and returns at once; completes with an error text, or
    // "" once the frame is written (on the caller's thread when the
    // connection took it at once, else on the task's thread).
    void sendText(const std::string& text, std::function<void(const std::string& error)> completion);
    void sendData(const NRVData& data, std::function<void(const std::string& error)> completion);
    // Completes when the pong arrives (""), or with an error when the
    // connection fails or no pong came within `pongLimit`; a peer that lets
    // a ping go unanswered that long is taken for dead and the connection
    // is dropped.
    void sendPing(std::function<void(const std::string& error)> pongReceiveHandler,
                  std::chrono::steady_clock::duration pongLimit);
    void cancelWithCloseCode(std::uint16_t code, const std::string& reason);
    bool isOpen() const;

private:
    void run();
    bool handshake(const std::string& key, std::chrono::steady_clock::time_point deadline,
                   platform::http::TransferResult* failure);
    // Takes what the codec queued (after `queue`, run under the codec's
    // lock, when given) and writes of it what the connection takes without
    // waiting; `completion` runs once the bytes queued so far are written.
    // false with the reason when the socket failed.
    bool flushOutput(std::string* error, const std::function<bool()>& queue = nullptr,
                     std::function<void(const std::string&)> completion = nullptr);
    // Ends the socket because its peer does not take what it is sent.
    void failWrites(const std::string& reason,
                    std::vector<std::function<void(const std::string&)>>* completions);
    // Frees the connection (socket, TLS state, transfer handle) on the
    // task's thread before the last events go out: whoever waits for them
    // may end the process next, and must find nothing of it still being freed.
    void releaseConnection();
    bool hasUnsent() const;
    void sendMessage(bool text, const std::string& payload, std::function<void(const std::string&)> completion);
    void readLoop();
    void finishPongs(const std::string& error);
    // The error of the oldest ping when its pong is overdue, else "".
    std::string overduePong();
    bool stopping() const;

    std::shared_ptr<platform::http::Engine> engine_;
    Callbacks callbacks_;
    platform::http::ServerTrustHook trust_;
    std::function<std::optional<platform::http::Credentials>(long)> proxyCredentials_;

    mutable std::mutex mutex_;
    std::unique_ptr<platform::http::StreamConnection> connection_;
    mutable std::mutex writeMutex_;
    mutable std::mutex codecMutex_;
    platform::websocket::Connection codec_{platform::websocket::Role::kClient};
    struct PongWaiter {
        std::chrono::steady_clock::time_point deadline;
        std::chrono::steady_clock::duration limit;
        std::function<void(const std::string&)> handler;
    };
    std::deque<PongWaiter> pongWaiters_;  // oldest ping first
    std::string pending_;  // bytes read but not yet parsed; the reading thread's only
    // Frames not yet written, oldest first, and the completions of the
    // messages among them by the count of bytes written that ends each.
    // Guarded by writeMutex_.
    std::string unsent_;
    std::uint64_t queuedBytes_ = 0;
    std::uint64_t writtenBytes_ = 0;
    std::deque<std::pair<std::uint64_t, std::function<void(const std::string&)>>> sendCompletions_;
    std::chrono::steady_clock::time_point lastProgress_;
    std::string writeFailure_;  // set once the peer stopped taking frames
    std::size_t maxUnsent_ = kMaximumUnsentBytes;
    std::chrono::steady_clock::duration drainLimit_ = kDrainLimit;
    bool open_ = false;
    bool stopping_ = false;
    std::thread thread_;
};
