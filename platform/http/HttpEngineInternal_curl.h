// What the libcurl engine's files share: the session, transfer and engine
// core classes and the helpers that set up curl handles. Not for use outside
// platform/http.
#pragma once

#include "platform/http/HttpEngine.h"
#include "platform/http/CookieStoreLimit.h"

#include "platform/dispatch/WorkerPool_linux.h"

#include <curl/curl.h>

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace platform::http::detail {

using platform::dispatch::Block;
using platform::dispatch::detail::WorkerPool;

void initCurl();

class EngineCore;

// The engine whose thread this is; null on every other thread.
extern thread_local EngineCore* tEngineThread;

// Around a callback that may wait for a queue given to Engine::dispatch:
// the engine's thread runs no such queue until the callback is over.
struct EngineThreadMayWait {
    EngineThreadMayWait();
    ~EngineThreadMayWait();
    EngineCore* core;
};

std::string hostOfURL(const std::string& url);

// What the TLS verify callback needs; lives as long as the curl handle.
struct TrustContext {
    ServerTrustHook hook;
    std::string url;
    CURL* easy = nullptr;  // the handle whose connections are checked
    bool refused = false;
    std::string reason;  // why the last chain was refused

    // The host of the connection being checked: after a redirect, the host
    // the handle went on to, not the one the request was made for.
    std::string host() const {
        char* current = nullptr;
        if (easy && curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &current) == CURLE_OK && current && *current) {
            return hostOfURL(current);
        }
        return hostOfURL(url);
    }
};

// At least TLS 1.2; every new connection is checked by our hook, so no TLS
// session is resumed past it.
void applyTLS(CURL* e, TrustContext* trust);

// Route, credentials and TLS settings shared by transfers and streams.
void applyRoute(CURL* e, const std::optional<ProxyRoute>& route, const std::optional<Credentials>& credentials);

// The kind of failure a libcurl code stands for, once the engine's own
// reasons (limits, the delegate, the trust hook) are ruled out.
TransferErrorKind kindOfCode(CURLcode code, long connectCode);

class SessionImpl final : public Session, public std::enable_shared_from_this<SessionImpl> {
public:
    SessionImpl(ProxyRoute route, std::weak_ptr<EngineCore> core) : route_(std::move(route)), core_(std::move(core)) {
        share_ = curl_share_init();
        // Locked, so that a reset may clear the cookies from any thread.
        curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &SessionImpl::lockShare);
        curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &SessionImpl::unlockShare);
        curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        // Each session keeps its own connections: a connection trusted for
        // one session's challenge handler is never reused by another's.
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    }
    // Every transfer of the session has left its share by now: transfers
    // hold their session and detach from the share when they finish.
    ~SessionImpl() override {
        for (CURL* easy : idleHandles_) curl_easy_cleanup(easy);
        if (cookieHandle_) curl_easy_cleanup(cookieHandle_);
        curl_share_cleanup(share_);
    }

    const ProxyRoute& route() const override { return route_; }
    void reset(std::function<void()> done) override;
    void finishTasksAndInvalidate() override { invalidated_ = true; }
    std::vector<Cookie> cookiesForURL(const std::string& url) override;
    bool isInvalidated() const override { return invalidated_; }
    // Engine thread, after a transfer that set cookies: holds the store to
    // its CookieStoreLimit.
    void boundCookies();

    CURLSH* share() const { return share_; }

    // A handle for the next transfer: one a finished transfer left, with
    // every option back at its default, or a new one. Setting a handle up
    // again costs far less than making it.
    CURL* takeHandle() {
        {
            std::lock_guard<std::mutex> lock(handlesMutex_);
            if (!idleHandles_.empty()) {
                CURL* easy = idleHandles_.back();
                idleHandles_.pop_back();
                return easy;
            }
        }
        return curl_easy_init();
    }

    // A finished transfer's handle, out of the multi handle: detached from
    // the share, reset, and kept for the next transfer (a few at most).
    void giveBack(CURL* easy) {
        // A reset forgets the list of cookie files without freeing it: it
        // goes first (the share's cookies stay, the share holds them).
        curl_easy_setopt(easy, CURLOPT_COOKIEFILE, nullptr);
        curl_easy_setopt(easy, CURLOPT_SHARE, nullptr);
        curl_easy_reset(easy);
        {
            std::lock_guard<std::mutex> lock(handlesMutex_);
            if (idleHandles_.size() < kMaxIdleHandles) {
                idleHandles_.push_back(easy);
                return;
            }
        }
        curl_easy_cleanup(easy);
    }
    // Engine thread only.
    bool takeFreshConnect() { return freshConnect_.exchange(false); }
    void markFreshConnect() { freshConnect_ = true; }

private:
    static std::mutex& mutexFor(void* self, curl_lock_data data) {
        auto& mutexes = static_cast<SessionImpl*>(self)->shareMutexes_;
        return mutexes[static_cast<std::size_t>(data) % mutexes.size()];
    }
    static void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* self) { mutexFor(self, data).lock(); }
    static void unlockShare(CURL*, curl_lock_data data, void* self) { mutexFor(self, data).unlock(); }

    // Calls `use` with a handle on the share, for reading or clearing its cookies.
    template <typename Use>
    void withCookieHandle(Use use) {
        std::lock_guard<std::mutex> lock(cookieMutex_);
        if (!cookieHandle_) {
            cookieHandle_ = curl_easy_init();
            if (!cookieHandle_) return;
            curl_easy_setopt(cookieHandle_, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(cookieHandle_, CURLOPT_SHARE, share_);
        }
        use(cookieHandle_);
    }

    static constexpr std::size_t kMaxIdleHandles = 4;

    ProxyRoute route_;
    std::weak_ptr<EngineCore> core_;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> shareMutexes_;
    CURLSH* share_ = nullptr;
    std::mutex handlesMutex_;
    std::vector<CURL*> idleHandles_;
    std::mutex cookieMutex_;
    CURL* cookieHandle_ = nullptr;  // guarded by cookieMutex_
    CookieStoreLimit cookieLimit_;  // guarded by cookieMutex_
    std::atomic<bool> invalidated_{false};
    std::atomic<bool> freshConnect_{false};
};

class TransferImpl final : public Transfer, public std::enable_shared_from_this<TransferImpl> {
public:
    TransferImpl(std::shared_ptr<SessionImpl> session, Request request, TransferDelegate delegate, ServerTrustHook trust,
                 std::weak_ptr<EngineCore> core)
        : session_(std::move(session)), request_(std::move(request)), delegate_(std::move(delegate)),
          core_(std::move(core)) {
        trust_.hook = std::move(trust);
    }
    ~TransferImpl() override { releaseHandles(); }

    void cancel() override;
    bool isRunning() const override { return running_; }

    // Engine thread only from here on.
    bool setUp(platform::Error* failure);
    CURL* easy() const { return easy_; }
    void finish(CURLcode code);
    void finishWith(TransferErrorKind kind, const std::string& message);

private:
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onBody(char* data, size_t size, size_t count, void* self);

    void deliverHead();
    void releaseHandles();
    TransferErrorKind classify(CURLcode code) const;

    std::shared_ptr<SessionImpl> session_;
    Request request_;
    TransferDelegate delegate_;
    TrustContext trust_;
    std::weak_ptr<EngineCore> core_;

    CURL* easy_ = nullptr;
    curl_slist* headerList_ = nullptr;
    FILE* file_ = nullptr;
    char errorBuffer_[CURL_ERROR_SIZE] = {};

    ResponseHead pending_;
    std::optional<ResponseHead> head_;
    bool headDelivered_ = false;
    std::size_t headerBytes_ = 0;
    std::uint64_t received_ = 0;
    bool headerTooLarge_ = false;
    bool bodyTooLarge_ = false;
    bool badResponse_ = false;      // conflicting lengths
    bool atHeadStart_ = true;       // the next header line starts a response head
    bool encodedBody_ = false;      // the body arrives compressed and is decoded here
    bool stoppedByDelegate_ = false;
    bool fileFailed_ = false;
    bool setCookies_ = false;  // an answer of this transfer set cookies
    std::atomic<bool> running_{true};
    bool finished_ = false;
};

class EngineCore : public std::enable_shared_from_this<EngineCore> {
public:
    EngineCore() {
        initCurl();
        multi_ = curl_multi_init();
        // Keep idle connections for reuse across the engine's transfers.
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, 64L);
    }
    ~EngineCore() { curl_multi_cleanup(multi_); }

    // false once the engine's thread has ended (the command never runs).
    bool post(std::function<void()> command) { return tryPost(command, false); }

    // Queues `command` for the engine's thread, false (command untouched)
    // once the thread has ended. The engine's own thread runs what it posts
    // before it waits again, so it needs no wake-up.
    bool tryPost(Block& command, bool queueWorker) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_ || (queueWorker && mayWait_)) return false;
            commands_.push_back(Command{std::move(command), queueWorker});
        }
        if (tEngineThread != this) curl_multi_wakeup(multi_);
        return true;
    }

    // Engine thread, before it may wait for a queue: the queue workers it
    // was to run go to the pool, and so do those given to it until
    // endWait(), so that no queue waits for this thread meanwhile.
    void beginWait() {
        std::vector<Block> workers;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            mayWait_ = true;
            for (auto it = commands_.begin(); it != commands_.end();) {
                if (it->queueWorker) {
                    workers.push_back(std::move(it->block));
                    it = commands_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& worker : workers) WorkerPool::shared().run(std::move(worker));
    }

    void endWait() {
        std::lock_guard<std::mutex> lock(mutex_);
        mayWait_ = false;
    }

    void stop() {
        stopping_ = true;
        curl_multi_wakeup(multi_);
    }

    void run() {
        tEngineThread = this;
        while (!stopping_) {
            runCommands();
            int running = 0;
            curl_multi_perform(multi_, &running);
            collectDone();
            if (stopping_) break;
            // What the callbacks posted runs before the thread waits.
            if (hasCommands()) continue;
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
        runCommands();
        // Whatever still runs ends as cancelled, so every completion runs once.
        auto left = std::move(transfers_);
        for (auto& [easy, transfer] : left) {
            curl_multi_remove_handle(multi_, easy);
            transfer->finishWith(TransferErrorKind::Cancelled, "engine stopped");
        }
        // From here on posting fails, and queue work goes to the pool.
        runCommands(true);
        tEngineThread = nullptr;
    }

    // Engine thread.
    void add(const std::shared_ptr<TransferImpl>& transfer) {
        // Started while the engine stops (by work that ran on its way out):
        // nothing would drive it any more.
        if (stopping_) {
            transfer->finishWith(TransferErrorKind::Cancelled, "engine stopped");
            return;
        }
        platform::Error failure;
        if (!transfer->setUp(&failure)) {
            transfer->finishWith(TransferErrorKind::Other, failure.description);
            return;
        }
        transfers_[transfer->easy()] = transfer;
        curl_multi_add_handle(multi_, transfer->easy());
    }

    void remove(const std::shared_ptr<TransferImpl>& transfer, TransferErrorKind kind, const std::string& message) {
        auto it = transfers_.find(transfer->easy());
        // A handle of a finished transfer may already serve another one.
        if (it == transfers_.end() || it->second != transfer) return;
        auto keep = it->second;
        transfers_.erase(it);
        curl_multi_remove_handle(multi_, keep->easy());
        keep->finishWith(kind, message);
    }

    std::optional<ProxyRoute> systemProxyFor(const std::string& url) {
        std::function<std::optional<ProxyRoute>(const std::string&)> resolver;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            resolver = resolver_;
        }
        if (!resolver) return std::nullopt;
        return resolver(url);
    }

    void setResolver(std::function<std::optional<ProxyRoute>(const std::string&)> resolver) {
        std::lock_guard<std::mutex> lock(mutex_);
        resolver_ = std::move(resolver);
    }

private:
    struct Command {
        Block block;
        bool queueWorker = false;  // runs a dispatch queue (see Engine::dispatch)
    };

    bool hasCommands() {
        std::lock_guard<std::mutex> lock(mutex_);
        return !commands_.empty();
    }

    // Runs commands until none is left, also those the commands post. One at
    // a time, so that beginWait() sees every queue worker not yet run.
    void runCommands(bool close = false) {
        for (;;) {
            Block block;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (commands_.empty()) {
                    if (close) closed_ = true;
                    return;
                }
                block = std::move(commands_.front().block);
                commands_.pop_front();
            }
            block();
        }
    }

    void collectDone() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            auto it = transfers_.find(message->easy_handle);
            if (it == transfers_.end()) continue;
            auto transfer = it->second;
            CURLcode code = message->data.result;
            transfers_.erase(it);
            curl_multi_remove_handle(multi_, transfer->easy());
            transfer->finish(code);
        }
    }

    CURLM* multi_ = nullptr;
    std::mutex mutex_;
    std::deque<Command> commands_;
    bool closed_ = false;   // the thread has ended: nothing more runs there
    bool mayWait_ = false;  // the thread is in a callback that may wait for a queue
    std::function<std::optional<ProxyRoute>(const std::string&)> resolver_;
    std::atomic<bool> stopping_{false};
    std::map<CURL*, std::shared_ptr<TransferImpl>> transfers_;
};

}  // namespace platform::http::detail
