#include "net/session/NRVWebSocketTask.h"


#include <chrono>
#include <cctype>
#include <cstring>
#include <algorithm>
#include <sstream>

#include "foundation/NerovaLogger.h"

namespace {

// How long the close handshake may take before the connection is dropped.
constexpr auto kCloseHandshakeLimit = std::chrono::seconds(2);

struct URLParts {
    bool secure = false;
    std::string host;  // with port
    std::string target;
};

std::optional<URLParts> splitURL(const std::string& url) {
    URLParts parts;
    std::string rest;
    if (url.rfind("ws://", 0) == 0 || url.rfind("http://", 0) == 0) {
        rest = url.substr(url.find("//") + 2);
    } else if (url.rfind("wss://", 0) == 0 || url.rfind("https://", 0) == 0) {
        parts.secure = true;
        rest = url.substr(url.find("//") + 2);
    } else {
        return std::nullopt;
    }
    auto slash = rest.find('/');
    parts.host = rest.substr(0, slash);
    parts.target = slash == std::string::npos ? "/" : rest.substr(slash);
    if (parts.host.empty() || parts.host.find_first_of("\r\n ") != std::string::npos ||
        parts.target.find_first_of("\r\n ") != std::string::npos) {
        return std::nullopt;
    }
    return parts;
}

}  // namespace

NRVWebSocketTask::NRVWebSocketTask(NRVURLRequest request, NRVURLSessionRef session,
                                   std::shared_ptr<platform::http::Engine> engine)
    : NRVURLSessionTask(Kind::kWebSocket, std::move(request), std::move(session)), engine_(std::move(engine)) {}

NRVWebSocketTask::~NRVWebSocketTask() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        if (connection_) connection_->close();
    }
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void NRVWebSocketTask::resume(Callbacks callbacks, platform::http::ServerTrustHook trust,
                              std::function<std::optional<platform::http::Credentials>(long)> proxyCredentials) {
    callbacks_ = std::move(callbacks);
    trust_ = std::move(trust);
    proxyCredentials_ = std::move(proxyCredentials);
    // The thread holds the task while it runs: the task ends when its
    // connection does, never by being dropped while its thread waits.
    auto self = shared_from_this();
    thread_ = std::thread([self] { self->run(); });
}

bool NRVWebSocketTask::isOpen() const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) return false;
    }
    std::lock_guard<std::mutex> lock(codecMutex_);
    return codec_.state() == platform::websocket::Connection::State::kOpen;
}

void NRVWebSocketTask::run() {
    auto parts = splitURL(originalRequest().URL);
    platform::http::TransferResult failure;
    if (!parts) {
        failure.kind = platform::http::TransferErrorKind::BadResponse;
        failure.message = "not a web-socket URL";
        setState(State::kCompleted);
        if (callbacks_.onOpenOrFail) callbacks_.onOpenOrFail(failure);
        return;
    }
    const std::string transportURL = std::string(parts->secure ? "https://" : "http://") + parts->host + "/";
    // The request's timeout covers the whole upgrade, from the connection
    // (and the proxy's challenges) to the server's answer.
    using Clock = std::chrono::steady_clock;
    const double timeout = originalRequest().timeoutInterval;
    const Clock::time_point deadline =
        timeout > 0 ? Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout))
                    : Clock::time_point::max();
    auto remainingMs = [&]() -> long {
        if (deadline == Clock::time_point::max()) return 0;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return std::max<long>(1, static_cast<long>(left));
    };
    std::optional<platform::http::Credentials> credentials;
    std::unique_ptr<platform::http::StreamConnection> connection;
    for (long refusals = 0;; ++refusals) {
        failure = {};
        connection = engine_->openStream(session()->transport(), transportURL, credentials, remainingMs(), trust_, &failure);
        if (connection || failure.kind != platform::http::TransferErrorKind::ProxyFailed ||
            (failure.proxyConnectStatus != 407 && !(failure.proxyConnectStatus == 401 && credentials))) {
            break;
        }
        credentials = proxyCredentials_ ? proxyCredentials_(refusals) : std::nullopt;
        if (!credentials || refusals >= 5) break;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connection && !stopping_) connection_ = std::move(connection);
        if (stopping_) {
            failure = {};
            failure.kind = platform::http::TransferErrorKind::Cancelled;
            failure.message = "cancelled";
        }
    }
    if (!connection_) {
        setState(State::kCompleted);
        if (callbacks_.onOpenOrFail) callbacks_.onOpenOrFail(failure);
        return;
    }
    const std::string key = platform::websocket::handshake::newKey();
    std::vector<std::pair<std::string, std::string>> extra;
    for (const auto& [name, value] : originalRequest().allHTTPHeaderFields) {
        // A field holding a line break would smuggle a second one.
        if (name.find_first_of("\r\n:") != std::string::npos || value.find_first_of("\r\n") != std::string::npos) continue;
        extra.emplace_back(name, value);
    }
    const std::string request = platform::websocket::handshake::clientRequest(parts->host, parts->target, key, extra);
    platform::Error error;
    if (!connection_->send(request.data(), request.size(), &error) || !handshake(key, deadline, &failure)) {
        if (failure.kind == platform::http::TransferErrorKind::None) {
            failure.kind = platform::http::TransferErrorKind::ConnectionLost;
            failure.message = error.description;
        }
        releaseConnection();
        setState(State::kCompleted);
        if (callbacks_.onOpenOrFail) callbacks_.onOpenOrFail(failure);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
    }
    if (callbacks_.onOpenOrFail) callbacks_.onOpenOrFail(std::nullopt);
    readLoop();
    setState(State::kCompleted);
}

bool NRVWebSocketTask::handshake(const std::string& key, std::chrono::steady_clock::time_point deadline,
                                 platform::http::TransferResult* failure) {
    namespace hs = platform::websocket::handshake;
    std::string& buffer = pending_;
    char chunk[4096];
    std::size_t headLength = 0;
    while ((headLength = hs::responseHeadLength(buffer)) == 0) {
        if (buffer.size() > hs::kMaxHeadSize) {
            failure->kind = platform::http::TransferErrorKind::TooLarge;
            failure->message = "handshake answer too large";
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            failure->kind = platform::http::TransferErrorKind::TimedOut;
            failure->message = "no answer to the web-socket upgrade within the request's timeout";
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        platform::Error error;
        long got = connection_->receive(chunk, sizeof chunk, static_cast<int>(std::clamp<long long>(left, 1, 1000)), &error);
        if (got < 0 || (got == 0 && stopping())) {
            failure->kind = platform::http::TransferErrorKind::ConnectionLost;
            failure->message = error.description.empty() ? "closed during the handshake" : error.description;
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
    const std::string head = buffer.substr(0, headLength);
    buffer.erase(0, headLength);
    int status = 0;
    auto refusal = hs::checkResponse(head, key, &status);
    platform::http::ResponseHead response;
    response.url = originalRequest().URL;
    response.status = status;
    std::size_t pos = head.find("\r\n");
    pos = pos == std::string::npos ? head.size() : pos + 2;
    while (pos < head.size()) {
        std::size_t next = head.find("\r\n", pos);
        std::string line = head.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        pos = next == std::string::npos ? head.size() : next + 2;
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        response.headers.emplace_back(line.substr(0, colon), value);
    }
    NRVDictionary fields;
    for (const auto& [name, value] : response.headers) fields.set(name, value);
    setResponse(std::make_shared<NRVHTTPURLResponse>(response.url, response.status, std::move(fields)));
    failure->response = response;
    if (refusal) {
        failure->kind = platform::http::TransferErrorKind::BadResponse;
        failure->message = "web-socket handshake refused: " + *refusal;
        return false;
    }
    return true;
}

bool NRVWebSocketTask::stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

bool NRVWebSocketTask::flushOutput(std::string* error, const std::function<bool()>& queue,
                                   std::function<void(const std::string&)> completion) {
    using Completion = std::function<void(const std::string&)>;
    std::vector<Completion> written, failed;
    std::string failure, refusal;
    {
        std::lock_guard<std::mutex> writeLock(writeMutex_);
        failure = writeFailure_;
        if (failure.empty()) {
            const bool wasEmpty = unsent_.empty();
            bool queued = true;
            {
                // Frames leave whole and in the order the codec made them:
                // taking them and queueing them is one step.
                std::lock_guard<std::mutex> lock(codecMutex_);
                if (queue && !(queued = queue())) {
                    refusal = codec_.state() == platform::websocket::Connection::State::kOpen
                                  ? "message refused (not UTF-8, or the socket is closing)"
                                  : "web socket is not open";
                }
                std::string bytes = codec_.takeOutput();
                queuedBytes_ += bytes.size();
                unsent_ += bytes;
            }
            if (queued && completion) sendCompletions_.emplace_back(queuedBytes_, std::move(completion));
            platform::http::StreamConnection* connection;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                connection = connection_.get();
            }
            bool progress = false;
            while (!unsent_.empty() && failure.empty()) {
                if (!connection) {
                    failure = "not connected";
                    break;
                }
                platform::Error sendError;
                // Never waits: a peer that does not read holds up this socket only.
                const long sent = connection->sendSome(unsent_.data(), unsent_.size(), &sendError);
                if (sent < 0) {
                    failure = sendError.description.empty() ? "connection lost" : sendError.description;
                } else if (sent == 0) {
                    break;
                } else {
                    unsent_.erase(0, static_cast<std::size_t>(sent));
                    writtenBytes_ += static_cast<std::uint64_t>(sent);
                    progress = true;
                }
            }
            if (progress || wasEmpty) lastProgress_ = std::chrono::steady_clock::now();
            if (failure.empty() && unsent_.size() > maxUnsent_) {
                failure = "the peer does not read: " + std::to_string(unsent_.size()) + " bytes wait to be sent";
            }
            if (!failure.empty()) {
                writeFailure_ = failure;
                if (connection) connection->close();
            } else {
                while (!sendCompletions_.empty() && sendCompletions_.front().first <= writtenBytes_) {
                    written.push_back(std::move(sendCompletions_.front().second));
                    sendCompletions_.pop_front();
                }
            }
        } else if (completion) {
            failed.push_back(std::move(completion));
        }
        if (!failure.empty()) {
            for (auto& [end, pending] : sendCompletions_) failed.push_back(std::move(pending));
            sendCompletions_.clear();
        }
    }
    for (auto& done : written) done("");
    for (auto& done : failed) done(failure);
    if (!refusal.empty() && completion) completion(refusal);
    if (!failure.empty() && error) *error = failure;
    return failure.empty() && refusal.empty();
}

bool NRVWebSocketTask::hasUnsent() const {
    std::lock_guard<std::mutex> lock(writeMutex_);
    return !unsent_.empty();
}

void NRVWebSocketTask::failWrites(const std::string& reason,
                                  std::vector<std::function<void(const std::string&)>>* completions) {
    std::lock_guard<std::mutex> writeLock(writeMutex_);
    if (writeFailure_.empty()) writeFailure_ = reason;
    for (auto& [end, pending] : sendCompletions_) completions->push_back(std::move(pending));
    sendCompletions_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_) connection_->close();
}

void NRVWebSocketTask::releaseConnection() {
    std::unique_ptr<platform::http::StreamConnection> connection;
    {
        // flushOutput writes through the connection under the write lock.
        std::lock_guard<std::mutex> writeLock(writeMutex_);
        std::lock_guard<std::mutex> lock(mutex_);
        connection = std::move(connection_);
    }
    if (connection) connection->close();
}

void NRVWebSocketTask::readLoop() {
    using platform::websocket::Event;
    std::uint16_t endCode = platform::websocket::kAbnormalClosure;
    std::string endReason;
    std::string endError;
    std::optional<std::chrono::steady_clock::time_point> closeSentAt;
    char chunk[65536];
    std::string bytes = std::move(pending_);
    pending_.clear();
    bool ended = false;
    while (!ended) {
        std::vector<Event> events;
        bool closed = false;
        {
            std::lock_guard<std::mutex> lock(codecMutex_);
            if (!bytes.empty()) events = codec_.receive(bytes);
            closed = codec_.state() == platform::websocket::Connection::State::kClosed;
            if (codec_.state() != platform::websocket::Connection::State::kOpen && !closeSentAt) {
                closeSentAt = std::chrono::steady_clock::now();
            }
        }
        bytes.clear();
        std::string ignored;
        flushOutput(&ignored);  // pongs, the close reply, a failure's close
        for (Event& event : events) {
            switch (event.kind) {
            case Event::Kind::kText:
            case Event::Kind::kBinary: {
                Message message;
                message.isText = event.kind == Event::Kind::kText;
                if (message.isText) {
                    message.text = std::move(event.payload);
                } else {
                    message.data.assign(event.payload.begin(), event.payload.end());
                }
                if (callbacks_.onMessage) callbacks_.onMessage(message);
                break;
            }
            case Event::Kind::kPong: {
                std::function<void(const std::string&)> waiter;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (!pongWaiters_.empty()) {
                        waiter = std::move(pongWaiters_.front().handler);
                        pongWaiters_.pop_front();
                    }
                }
                if (waiter) waiter("");
                break;
            }
            case Event::Kind::kPing: break;  // the codec queued the pong
            case Event::Kind::kClose:
                endCode = event.code;
                endReason = event.payload;
                ended = true;
                break;
            case Event::Kind::kFailure:
                endCode = event.code;
                endError = event.payload.empty() ? "protocol error" : event.payload;
                ended = true;
                break;
            }
        }
        if (ended || closed) break;
        if (closeSentAt && std::chrono::steady_clock::now() - *closeSentAt > kCloseHandshakeLimit) {
            endError = "close handshake timed out";
            break;
        }
        endError = overduePong();
        if (!endError.empty()) break;
        bool stalled = false;
        {
            std::lock_guard<std::mutex> lock(writeMutex_);
            endError = writeFailure_;
            stalled = !unsent_.empty() && std::chrono::steady_clock::now() - lastProgress_ > drainLimit_;
            if (endError.empty() && stalled) {
                std::ostringstream text;
                text << "the peer took none of " << unsent_.size() << " unsent bytes within "
                     << std::chrono::duration<double>(drainLimit_).count() << " s";
                endError = text.str();
            }
        }
        if (!endError.empty()) break;
        platform::Error error;
        long got = connection_->receive(chunk, sizeof chunk, 0, &error);
        if (got < 0) {
            endError = error.description.empty() ? "connection lost" : error.description;
            break;
        }
        if (got > 0) {
            bytes.assign(chunk, static_cast<std::size_t>(got));
            continue;
        }
        // Nothing to read now: wait for input, or for room for the frames
        // that wait to be written (the loop writes them when it comes back).
        connection_->wait(hasUnsent(), 250);
    }
    {
        // A socket that failed because of its writes says so, not how its
        // connection then broke.
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (!writeFailure_.empty()) endError = writeFailure_;
    }
    std::vector<std::function<void(const std::string&)>> unsentCompletions;
    failWrites(endError.empty() ? "connection closed" : endError, &unsentCompletions);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    releaseConnection();
    for (auto& completion : unsentCompletions) completion(endError.empty() ? "connection closed" : endError);
    finishPongs(endError.empty() ? "connection closed" : endError);
    // A close the peer answered (or started) is a clean end, whatever the
    // code; a broken connection or a refused frame is a failure.
    if (callbacks_.onEnd) callbacks_.onEnd(endCode, endReason, endError);
}

void NRVWebSocketTask::finishPongs(const std::string& error) {
    std::deque<PongWaiter> waiters;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiters.swap(pongWaiters_);
    }
    for (auto& waiter : waiters) {
        if (waiter.handler) waiter.handler(error);
    }
}

std::string NRVWebSocketTask::overduePong() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pongWaiters_.empty() || std::chrono::steady_clock::now() < pongWaiters_.front().deadline) return "";
    std::ostringstream text;
    text << "no pong received within " << std::chrono::duration<double>(pongWaiters_.front().limit).count() << " s";
    return text.str();
}

void NRVWebSocketTask::sendText(const std::string& text, std::function<void(const std::string&)> completion) {
    sendMessage(true, text, std::move(completion));
}

void NRVWebSocketTask::sendData(const NRVData& data, std::function<void(const std::string&)> completion) {
    sendMessage(false, std::string(data.begin(), data.end()), std::move(completion));
}

void NRVWebSocketTask::sendMessage(bool text, const std::string& payload,
                                   std::function<void(const std::string&)> completion) {
    if (!isOpen()) {
        if (completion) completion("web socket is not open");
        return;
    }
    std::string ignored;
    flushOutput(
        &ignored, [&] { return text ? codec_.sendText(payload) : codec_.sendBinary(payload); }, std::move(completion));
}

void NRVWebSocketTask::sendPing(std::function<void(const std::string&)> pongReceiveHandler,
                                std::chrono::steady_clock::duration pongLimit) {
    bool queued = false;
    if (isOpen()) {
        std::lock_guard<std::mutex> lock(codecMutex_);
        queued = codec_.sendPing();
    }
    if (!queued) {
        if (pongReceiveHandler) pongReceiveHandler("web socket is not open");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pongWaiters_.push_back({std::chrono::steady_clock::now() + pongLimit, pongLimit, std::move(pongReceiveHandler)});
    }
    std::string error;
    if (!flushOutput(&error)) finishPongs(error);
}

void NRVWebSocketTask::cancelWithCloseCode(std::uint16_t code, const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) {
            stopping_ = true;
            if (connection_) connection_->close();
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(codecMutex_);
        codec_.close(code, reason);
    }
    std::string ignored;
    flushOutput(&ignored);
}
