// A web-socket task: the opening handshake over a stream connection of its
// session's route, then messages through the RFC 6455 codec of
// platform/websocket (client frames masked, fragmented messages joined,
// pings answered, the close handshake, protocol errors closed with their
// code), on a thread of its own that reads the connection.
//
// Threading: every call is thread-safe. The callbacks run on the task's
// reading thread, one at a time; the handler hops them onto its queue.
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

#include "net/NRVURLSessionTask.h"
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

    // Completes with an error text, or "" once the frame is written.
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
    bool handshake(const std::string& key, platform::http::TransferResult* failure);
    // Writes what the codec queued; false with the reason when that failed.
    bool flushOutput(std::string* error);
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
    std::mutex writeMutex_;
    mutable std::mutex codecMutex_;
    platform::websocket::Connection codec_{platform::websocket::Role::kClient};
    struct PongWaiter {
        std::chrono::steady_clock::time_point deadline;
        std::chrono::steady_clock::duration limit;
        std::function<void(const std::string&)> handler;
    };
    std::deque<PongWaiter> pongWaiters_;  // oldest ping first
    std::string pending_;  // bytes read but not yet parsed; the reading thread's only
    bool open_ = false;
    bool stopping_ = false;
    std::thread thread_;
};
