// libcurl body of the HTTP engine. One multi handle per engine, driven by one
// thread; commands from other threads are queued and the thread woken with
// curl_multi_wakeup, so no curl handle is ever touched by two threads.
#include "platform/http/HttpEngine.h"
#include "platform/http/CookieStoreLimit.h"

#include "platform/dispatch/WorkerPool_linux.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

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

namespace platform::http {
namespace {

using platform::dispatch::Block;
using platform::dispatch::detail::WorkerPool;

std::once_flag gCurlInit;

void initCurl() {
    std::call_once(gCurlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

class EngineCore;

// The engine whose thread this is; null on every other thread.
thread_local EngineCore* tEngineThread = nullptr;

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

// The bits of security OpenSSL's levels ask of keys and signatures.
int minimumSecurityBits(int level) {
    static const int bits[] = {0, 80, 112, 128, 192, 256};
    return bits[std::clamp(level, 0, 5)];
}

// The peer's chain against the security level, as OpenSSL's own chain check
// would have judged it had the trust hook not replaced that check: every key
// and every signature not made by the certificate itself must reach the
// level's bits. false with the reason when one falls short.
bool chainMeetsSecurityLevel(X509_STORE_CTX* chain, int level, std::string* reason) {
    const int minimum = minimumSecurityBits(level);
    std::vector<X509*> certificates;
    if (X509* leaf = X509_STORE_CTX_get0_cert(chain)) certificates.push_back(leaf);
    if (STACK_OF(X509)* others = X509_STORE_CTX_get0_untrusted(chain)) {
        for (int i = 0; i < sk_X509_num(others); ++i) {
            X509* x = sk_X509_value(others, i);
            if (x && (certificates.empty() || X509_cmp(x, certificates.front()) != 0)) certificates.push_back(x);
        }
    }
    for (std::size_t depth = 0; depth < certificates.size(); ++depth) {
        X509* certificate = certificates[depth];
        EVP_PKEY* key = X509_get0_pubkey(certificate);
        const int keyBits = key ? EVP_PKEY_get_security_bits(key) : 0;
        if (keyBits < minimum) {
            *reason = "weak key (" + std::string(key ? EVP_PKEY_get0_type_name(key) : "none") + " " +
                      std::to_string(key ? EVP_PKEY_get_bits(key) : 0) + " bits) at depth " + std::to_string(depth);
            return false;
        }
        if (X509_check_issued(certificate, certificate) == X509_V_OK) continue;  // self-signed: not judged here
        int digest = NID_undef, signatureBits = 0;
        if (X509_get_signature_info(certificate, &digest, nullptr, &signatureBits, nullptr) != 1 ||
            signatureBits < minimum) {
            *reason = "weak signature (" + std::string(digest != NID_undef ? OBJ_nid2sn(digest) : "unknown digest") +
                      ") at depth " + std::to_string(depth);
            return false;
        }
    }
    return true;
}

int verifyChain(X509_STORE_CTX* chain, void* raw) {
    auto* context = static_cast<TrustContext*>(raw);
    context->reason.clear();
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(chain, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const int level = std::max(kMinimumSecurityLevel, ssl ? SSL_get_security_level(ssl) : 0);
    bool accepted = chainMeetsSecurityLevel(chain, level, &context->reason);
    if (accepted) {
        // The hook may wait for a queue whose turn on this thread has not come.
        EngineThreadMayWait waiting;
        accepted = context->hook && context->hook(chain, context->host(), &context->reason);
        if (!accepted && context->reason.empty()) context->reason = "refused by the trust check";
    }
    if (accepted) {
        X509_STORE_CTX_set_error(chain, X509_V_OK);
        return 1;
    }
    context->refused = true;
    X509_STORE_CTX_set_error(chain, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

// Every TLS context of the engine: at least the minimum security level (key
// exchange, ciphers and signatures of the handshake), and the trust hook in
// place of OpenSSL's chain check when there is one. A write that must be
// repeated may come from a buffer that moved (stream connections queue
// what the peer does not take yet).
CURLcode configureContext(CURL*, void* sslContext, void* raw) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    auto* trust = static_cast<TrustContext*>(raw);
    SSL_CTX_set_security_level(ctx, std::max(kMinimumSecurityLevel, SSL_CTX_get_security_level(ctx)));
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (trust->hook) SSL_CTX_set_cert_verify_callback(ctx, &verifyChain, raw);
    return CURLE_OK;
}

std::string hostOfURL(const std::string& url) {
    std::string result;
    if (CURLU* u = curl_url()) {
        char* host = nullptr;
        if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
            curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            result = host;
            curl_free(host);
        }
        curl_url_cleanup(u);
    }
    return result;
}

std::string proxyURL(const ProxyRoute& route) {
    std::string host = route.host;
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(route.port);
}

// Route, credentials and TLS settings shared by transfers and streams.
void applyRoute(CURL* e, const std::optional<ProxyRoute>& route, const std::optional<Credentials>& credentials) {
    if (route && route->mode == ProxyRoute::Mode::None) {
        curl_easy_setopt(e, CURLOPT_PROXY, "");
    } else if (route && route->mode == ProxyRoute::Mode::Explicit) {
        curl_easy_setopt(e, CURLOPT_PROXY, proxyURL(*route).c_str());
        curl_easy_setopt(e, CURLOPT_NOPROXY, "");
    }
    if (credentials) {
        curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, credentials->user.c_str());
        curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, credentials->password.c_str());
        curl_easy_setopt(e, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
    }
}

// At least TLS 1.2; every new connection is checked by our hook, so no TLS
// session is resumed past it.
void applyTLS(CURL* e, TrustContext* trust) {
    curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (trust->hook) {
        curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    }
    trust->easy = e;
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &configureContext);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, trust);
}

// The kind of failure a libcurl code stands for, once the engine's own
// reasons (limits, the delegate, the trust hook) are ruled out.
TransferErrorKind kindOfCode(CURLcode code, long connectCode) {
    switch (code) {
    case CURLE_OK: return TransferErrorKind::None;
    case CURLE_COULDNT_CONNECT: return TransferErrorKind::ConnectFailed;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return TransferErrorKind::HostNotFound;
    case CURLE_OPERATION_TIMEDOUT: return TransferErrorKind::TimedOut;
    case CURLE_PEER_FAILED_VERIFICATION: return TransferErrorKind::ServerTrustRefused;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
        if (connectCode != 0 && (connectCode < 200 || connectCode > 299)) return TransferErrorKind::ProxyFailed;
        return TransferErrorKind::SecureConnectionFailed;
    case CURLE_UNSUPPORTED_PROTOCOL: return TransferErrorKind::UnsupportedURL;
    case CURLE_ABORTED_BY_CALLBACK: return TransferErrorKind::Cancelled;
    case CURLE_FILESIZE_EXCEEDED:
    case CURLE_OUT_OF_MEMORY: return TransferErrorKind::TooLarge;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        if (connectCode != 0 && (connectCode < 200 || connectCode > 299)) return TransferErrorKind::ProxyFailed;
        return TransferErrorKind::ConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_TOO_MANY_REDIRECTS: return TransferErrorKind::BadResponse;
    case CURLE_PROXY: return TransferErrorKind::ProxyFailed;
    default: return TransferErrorKind::Other;
    }
}

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
    bool setUp(std::string* failure);
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
        std::string failure;
        if (!transfer->setUp(&failure)) {
            transfer->finishWith(TransferErrorKind::Other, failure);
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

EngineThreadMayWait::EngineThreadMayWait() : core(tEngineThread) {
    if (core) core->beginWait();
}

EngineThreadMayWait::~EngineThreadMayWait() {
    if (core) core->endWait();
}

void SessionImpl::reset(std::function<void()> done) {
    markFreshConnect();
    withCookieHandle([](CURL* easy) { curl_easy_setopt(easy, CURLOPT_COOKIELIST, "ALL"); });
    if (done) done();
}

namespace {

bool domainMatches(const std::string& host, const Cookie& cookie) {
    if (host == cookie.domain) return true;
    if (cookie.hostOnly || host.size() <= cookie.domain.size()) return false;
    return host.compare(host.size() - cookie.domain.size(), cookie.domain.size(), cookie.domain) == 0 &&
           host[host.size() - cookie.domain.size() - 1] == '.';
}

bool pathMatches(const std::string& path, const std::string& cookiePath) {
    if (cookiePath.empty() || cookiePath == "/") return true;
    if (path.rfind(cookiePath, 0) != 0) return false;
    return path.size() == cookiePath.size() || cookiePath.back() == '/' || path[cookiePath.size()] == '/';
}

// One line of libcurl's cookie list: domain, subdomains flag, path, secure,
// expiry, name, value, separated by tabs; "#HttpOnly_" marks the domain.
std::optional<Cookie> parseCookieLine(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (fields.size() != 7) return std::nullopt;
    Cookie cookie;
    std::string domain = fields[0];
    const std::string httpOnly = "#HttpOnly_";
    if (domain.rfind(httpOnly, 0) == 0) {
        cookie.httpOnly = true;
        domain.erase(0, httpOnly.size());
    }
    if (!domain.empty() && domain[0] == '.') domain.erase(0, 1);
    cookie.domain = domain;
    cookie.hostOnly = fields[1] != "TRUE";
    cookie.path = fields[2];
    cookie.secure = fields[3] == "TRUE";
    cookie.expires = std::strtoll(fields[4].c_str(), nullptr, 10);
    cookie.name = fields[5];
    cookie.value = fields[6];
    return cookie;
}

}  // namespace

std::vector<Cookie> SessionImpl::cookiesForURL(const std::string& url) {
    std::vector<Cookie> result;
    std::string host, path = "/", scheme;
    if (CURLU* u = curl_url()) {
        if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
            char* part = nullptr;
            if (curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK) host = part;
            curl_free(part);
            part = nullptr;
            if (curl_url_get(u, CURLUPART_PATH, &part, 0) == CURLUE_OK) path = part;
            curl_free(part);
            part = nullptr;
            if (curl_url_get(u, CURLUPART_SCHEME, &part, 0) == CURLUE_OK) scheme = part;
            curl_free(part);
        }
        curl_url_cleanup(u);
    }
    if (host.empty()) return result;
    curl_slist* list = nullptr;
    withCookieHandle([&list](CURL* easy) {
        if (curl_easy_getinfo(easy, CURLINFO_COOKIELIST, &list) != CURLE_OK) list = nullptr;
    });
    for (curl_slist* item = list; item; item = item->next) {
        auto cookie = parseCookieLine(item->data);
        if (!cookie || !domainMatches(host, *cookie) || !pathMatches(path, cookie->path)) continue;
        if (cookie->secure && scheme != "https") continue;
        result.push_back(std::move(*cookie));
    }
    curl_slist_free_all(list);
    return result;
}

void SessionImpl::boundCookies() {
    withCookieHandle([this](CURL* easy) {
        curl_slist* list = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_COOKIELIST, &list) != CURLE_OK || !list) return;
        std::vector<std::string> lines;
        std::vector<Cookie> cookies;
        for (curl_slist* item = list; item; item = item->next) {
            if (auto cookie = parseCookieLine(item->data)) {
                lines.emplace_back(item->data);
                cookies.push_back(std::move(*cookie));
            }
        }
        curl_slist_free_all(list);
        const std::vector<bool> kept = cookieLimit_.keep(cookies);
        if (std::find(kept.begin(), kept.end(), false) == kept.end()) return;
        // libcurl drops no single cookie: the store is refilled with those
        // that stay, in their lines as libcurl wrote them. Transfers change
        // the store on this thread only, so none changes it meanwhile.
        curl_easy_setopt(easy, CURLOPT_COOKIELIST, "ALL");
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (kept[i]) curl_easy_setopt(easy, CURLOPT_COOKIELIST, lines[i].c_str());
        }
    });
}

void TransferImpl::cancel() {
    auto core = core_.lock();
    if (!core || !running_) return;
    auto self = shared_from_this();
    core->post([core, self] { core->remove(self, TransferErrorKind::Cancelled, "cancelled"); });
}

bool TransferImpl::setUp(std::string* failure) {
    easy_ = session_->takeHandle();
    if (!easy_) {
        *failure = "could not create a transfer";
        return false;
    }
    CURL* e = easy_;
    curl_easy_setopt(e, CURLOPT_URL, request_.url.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, this);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // The share holds the session's cookies and its connections; an empty
    // cookie file switches the cookie engine on without reading a file.
    curl_easy_setopt(e, CURLOPT_SHARE, session_->share());
    curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");
    if (session_->takeFreshConnect()) curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);

    trust_.url = request_.url;
    std::optional<ProxyRoute> route = session_->route();
    if (route->mode == ProxyRoute::Mode::System) {
        auto core = core_.lock();
        route = core ? core->systemProxyFor(request_.url) : std::nullopt;
    }
    applyRoute(e, route, request_.proxyCredentials);
    applyTLS(e, &trust_);
    if (request_.serverCredentials) {
        curl_easy_setopt(e, CURLOPT_USERNAME, request_.serverCredentials->user.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, request_.serverCredentials->password.c_str());
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
    }

    // Method and body.
    if (request_.method == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (request_.body) {
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, request_.body->data());
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_.body->size()));
        if (request_.method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request_.method.c_str());
    } else if (request_.method != "GET") {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request_.method.c_str());
    }
    headerList_ = curl_slist_append(headerList_, "Expect:");
    for (const auto& [name, value] : request_.headers) {
        // A header that holds a line break would smuggle a second header.
        if (name.find_first_of("\r\n:") != std::string::npos || value.find_first_of("\r\n") != std::string::npos) continue;
        headerList_ = curl_slist_append(headerList_, (name + ": " + value).c_str());
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headerList_);

    // Limits.
    if (request_.idleTimeoutMs > 0) {
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, request_.idleTimeoutMs);
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, std::max(1L, (request_.idleTimeoutMs + 999) / 1000));
    }
    if (request_.totalTimeoutMs > 0) curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, request_.totalTimeoutMs);

    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &TransferImpl::onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &TransferImpl::onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);

    if (!request_.downloadPath.empty()) {
        // Large downloads go to disk in larger pieces; memory stays this
        // buffer whatever the size.
        curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 256L * 1024);
        file_ = std::fopen(request_.downloadPath.c_str(), "wbxe");
        if (!file_) {
            *failure = "could not create the download file";
            return false;
        }
    }
    return true;
}

namespace {

// The Content-Length values of one head agree (a field may list the value
// more than once, "5, 5"); false when two differ, which a server sends only
// to make two readers of one answer split it in different places.
bool lengthsAgree(const HeaderList& headers) {
    std::optional<std::string> seen;
    for (const auto& [name, value] : headers) {
        if (strcasecmp(name.c_str(), "Content-Length") != 0) continue;
        std::size_t start = 0;
        for (;;) {
            std::size_t comma = value.find(',', start);
            std::string item = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            const auto first = item.find_first_not_of(" \t");
            const auto last = item.find_last_not_of(" \t");
            item = first == std::string::npos ? std::string() : item.substr(first, last - first + 1);
            const auto digits = item.find_first_not_of('0');
            item = digits == std::string::npos ? (item.empty() ? item : "0") : item.substr(digits);
            if (seen && *seen != item) return false;
            seen = item;
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    return true;
}

}  // namespace

size_t TransferImpl::onHeader(char* data, size_t size, size_t count, void* raw) {
    auto* self = static_cast<TransferImpl*>(raw);
    const size_t length = size * count;
    std::string line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // Only the status line that opens a head (the next answer after an
    // interim one or a redirect) starts the limit again; a header line
    // that merely begins with "HTTP/" counts like any other.
    if (self->atHeadStart_ && line.rfind("HTTP/", 0) == 0) {
        self->atHeadStart_ = false;
        self->pending_ = ResponseHead{};
        self->headerBytes_ = length;
        if (self->headerBytes_ > self->request_.maxHeaderBytes) {
            self->headerTooLarge_ = true;
            return 0;
        }
        return length;
    }
    self->headerBytes_ += length;
    if (self->headerBytes_ > self->request_.maxHeaderBytes) {
        self->headerTooLarge_ = true;
        return 0;
    }
    if (!line.empty()) {
        auto colon = line.find(':');
        if (colon != std::string::npos) {
            std::string value = line.substr(colon + 1);
            auto first = value.find_first_not_of(" \t");
            value = first == std::string::npos ? std::string() : value.substr(first);
            if (colon == 10 && strncasecmp(line.c_str(), "Set-Cookie", colon) == 0) self->setCookies_ = true;
            self->pending_.headers.emplace_back(line.substr(0, colon), value);
        }
        return length;
    }
    // End of one header block.
    self->atHeadStart_ = true;
    if (!lengthsAgree(self->pending_.headers)) {
        self->badResponse_ = true;
        return 0;
    }
    long status = 0;
    curl_easy_getinfo(self->easy_, CURLINFO_RESPONSE_CODE, &status);
    self->pending_.status = status;
    char* url = nullptr;
    curl_easy_getinfo(self->easy_, CURLINFO_EFFECTIVE_URL, &url);
    self->pending_.url = url ? url : self->request_.url;
    if (status >= 100 && status < 200) return length;
    self->head_ = self->pending_;
    bool mayBeFollowed = false;
    self->encodedBody_ = false;
    for (const auto& [name, value] : self->pending_.headers) {
        if (strcasecmp(name.c_str(), "Location") == 0 && status >= 300 && status < 400) mayBeFollowed = true;
        if (strcasecmp(name.c_str(), "Content-Encoding") == 0 && !value.empty() && strcasecmp(value.c_str(), "identity") != 0) {
            self->encodedBody_ = true;
        }
    }
    // Authentication answers may be retried by libcurl itself; they reach the
    // delegate only when they turn out to be final.
    if (!mayBeFollowed && status != 401 && status != 407) self->deliverHead();
    return length;
}

void TransferImpl::deliverHead() {
    if (headDelivered_ || !head_) return;
    headDelivered_ = true;
    if (delegate_.onResponse) delegate_.onResponse(*head_);
}

size_t TransferImpl::onBody(char* data, size_t size, size_t count, void* raw) {
    auto* self = static_cast<TransferImpl*>(raw);
    const size_t length = size * count;
    self->deliverHead();
    self->received_ += length;
    const Request& request = self->request_;
    if ((request.maxBodyBytes > 0 && self->received_ > request.maxBodyBytes) ||
        (self->encodedBody_ && request.maxDecodedBytes > 0 && self->received_ > request.maxDecodedBytes)) {
        self->bodyTooLarge_ = true;
        return 0;
    }
    if (self->file_) {
        if (std::fwrite(data, 1, length, self->file_) != length) {
            self->fileFailed_ = true;
            return 0;
        }
        return length;
    }
    if (self->delegate_.onData && !self->delegate_.onData(data, length)) {
        self->stoppedByDelegate_ = true;
        return 0;
    }
    return length;
}

TransferErrorKind TransferImpl::classify(CURLcode code) const {
    if (code == CURLE_OK) return TransferErrorKind::None;
    if (headerTooLarge_ || bodyTooLarge_) return TransferErrorKind::TooLarge;
    if (badResponse_) return TransferErrorKind::BadResponse;
    if (stoppedByDelegate_) return TransferErrorKind::Cancelled;
    if (fileFailed_) return TransferErrorKind::FileError;
    if (trust_.refused) return TransferErrorKind::ServerTrustRefused;
    long connectCode = 0;
    curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    return kindOfCode(code, connectCode);
}

void TransferImpl::finish(CURLcode code) {
    TransferErrorKind kind = classify(code);
    std::string message = errorBuffer_[0] ? errorBuffer_ : curl_easy_strerror(code);
    if (bodyTooLarge_) {
        message = encodedBody_ && request_.maxDecodedBytes > 0 &&
                          (request_.maxBodyBytes == 0 || request_.maxDecodedBytes < request_.maxBodyBytes)
                      ? "the compressed body decodes to more than " + std::to_string(request_.maxDecodedBytes) + " bytes"
                      : "the body exceeds " + std::to_string(request_.maxBodyBytes) + " bytes";
    } else if (badResponse_) {
        message = "conflicting Content-Length values";
    }
    if (kind == TransferErrorKind::None) message.clear();
    if (kind == TransferErrorKind::None || kind == TransferErrorKind::ConnectionLost) deliverHead();
    finishWith(kind, message);
}

void TransferImpl::finishWith(TransferErrorKind kind, const std::string& message) {
    if (finished_) return;
    finished_ = true;
    TransferResult result;
    result.kind = kind;
    result.message = message;
    result.bytesReceived = received_;
    if (kind == TransferErrorKind::ServerTrustRefused) result.trustFailureReason = trust_.reason;
    if (easy_) {
        curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &result.proxyConnectStatus);
        long available = 0;
        curl_easy_getinfo(easy_, CURLINFO_PROXYAUTH_AVAIL, &available);
        result.proxyAsksBasicOrDigest = (available & (CURLAUTH_BASIC | CURLAUTH_DIGEST)) != 0;
    }
    // A head that arrived is part of the result even when the body broke off.
    result.response = head_;
    if (file_) {
        if (std::fclose(file_) != 0 && result.kind == TransferErrorKind::None) {
            result.kind = TransferErrorKind::FileError;
            result.message = "could not write the download file";
        }
        file_ = nullptr;
    }
    running_ = false;
    if (setCookies_) session_->boundCookies();
    // The handle, detached from the session's share, serves the session's next transfer.
    if (easy_) session_->giveBack(easy_);
    easy_ = nullptr;
    if (headerList_) curl_slist_free_all(headerList_);
    headerList_ = nullptr;
    auto delegate = std::move(delegate_);
    delegate_ = {};
    trust_.hook = nullptr;
    if (delegate.onComplete) delegate.onComplete(result);
}

void TransferImpl::releaseHandles() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (easy_) session_->giveBack(easy_);
    easy_ = nullptr;
    if (headerList_) curl_slist_free_all(headerList_);
    headerList_ = nullptr;
}

class StreamConnectionImpl final : public StreamConnection {
public:
    ~StreamConnectionImpl() override {
        if (easy_) curl_easy_cleanup(easy_);
    }

    bool open(const std::string& url, const std::optional<ProxyRoute>& route, const std::optional<Credentials>& credentials,
              long connectTimeoutMs, ServerTrustHook hook, TransferResult* result) {
        easy_ = curl_easy_init();
        if (!easy_) {
            result->kind = TransferErrorKind::Other;
            result->message = "could not create a connection";
            return false;
        }
        trust_.hook = std::move(hook);
        trust_.url = url;
        curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy_, CURLOPT_CONNECT_ONLY, 1L);
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
        // The stream speaks its own protocol, so a proxy must tunnel it.
        curl_easy_setopt(easy_, CURLOPT_HTTPPROXYTUNNEL, 1L);
        curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        if (connectTimeoutMs > 0) curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
        applyRoute(easy_, route, credentials);
        applyTLS(easy_, &trust_);
        CURLcode code = curl_easy_perform(easy_);
        curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &result->proxyConnectStatus);
        long available = 0;
        curl_easy_getinfo(easy_, CURLINFO_PROXYAUTH_AVAIL, &available);
        result->proxyAsksBasicOrDigest = (available & (CURLAUTH_BASIC | CURLAUTH_DIGEST)) != 0;
        if (code != CURLE_OK) {
            result->message = errorBuffer_[0] ? errorBuffer_ : curl_easy_strerror(code);
            const TransferErrorKind kind = kindOfCode(code, result->proxyConnectStatus);
            if (trust_.refused) {
                result->kind = TransferErrorKind::ServerTrustRefused;
                result->trustFailureReason = trust_.reason;
            } else if (kind == TransferErrorKind::ConnectFailed || kind == TransferErrorKind::HostNotFound ||
                       kind == TransferErrorKind::TimedOut) {
                result->kind = kind;
            } else if (result->proxyConnectStatus != 0 &&
                       (result->proxyConnectStatus < 200 || result->proxyConnectStatus > 299)) {
                result->kind = TransferErrorKind::ProxyFailed;
            } else if (kind == TransferErrorKind::ServerTrustRefused || kind == TransferErrorKind::SecureConnectionFailed ||
                       kind == TransferErrorKind::UnsupportedURL) {
                result->kind = kind;
            } else {
                result->kind = TransferErrorKind::Other;
            }
            return false;
        }
        curl_socket_t socket = CURL_SOCKET_BAD;
        curl_easy_getinfo(easy_, CURLINFO_ACTIVESOCKET, &socket);
        socket_ = static_cast<int>(socket);
        return socket_ >= 0;
    }

    bool send(const void* data, std::size_t size, std::string* error) override {
        const char* bytes = static_cast<const char*>(data);
        while (size > 0) {
            if (closed_) return fail(error, "connection closed");
            size_t sent = 0;
            CURLcode code;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                code = curl_easy_send(easy_, bytes, size, &sent);
            }
            if (code == CURLE_AGAIN) {
                if (!waitFor(POLLOUT, 1000)) continue;
                continue;
            }
            if (code != CURLE_OK) return fail(error, curl_easy_strerror(code));
            bytes += sent;
            size -= sent;
        }
        return true;
    }

    long sendSome(const void* data, std::size_t size, std::string* error) override {
        if (closed_) return fail(error, "connection closed") ? 0 : -1;
        size_t sent = 0;
        CURLcode code;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            code = curl_easy_send(easy_, data, size, &sent);
        }
        if (code == CURLE_AGAIN) return 0;
        if (code != CURLE_OK) return fail(error, curl_easy_strerror(code)) ? 0 : -1;
        return static_cast<long>(sent);
    }

    int wait(bool forWrite, int timeoutMs) override {
        if (closed_) return -1;
        pollfd p{socket_, static_cast<short>(POLLIN | (forWrite ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return 0;
        int ready = 0;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) ready |= kReadable;
        if (p.revents & (POLLOUT | POLLERR)) ready |= kWritable;
        return ready;
    }

    long receive(void* buffer, std::size_t capacity, int timeoutMs, std::string* error) override {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (closed_) {
                fail(error, "connection closed");
                return -1;
            }
            size_t got = 0;
            CURLcode code;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                code = curl_easy_recv(easy_, buffer, capacity, &got);
            }
            if (code == CURLE_OK) {
                if (got == 0) {
                    fail(error, "closed by the peer");
                    return -1;
                }
                return static_cast<long>(got);
            }
            if (code != CURLE_AGAIN) {
                fail(error, curl_easy_strerror(code));
                return -1;
            }
            if (attempt == 0 && !waitFor(POLLIN, timeoutMs)) return 0;
        }
        return 0;
    }

    void close() override {
        if (closed_.exchange(true)) return;
        // Wakes a receive() waiting in poll; the handle itself goes with the object.
        if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
    }

private:
    bool waitFor(short events, int timeoutMs) {
        pollfd p{socket_, events, 0};
        return ::poll(&p, 1, timeoutMs) > 0;
    }
    static bool fail(std::string* error, const std::string& text) {
        if (error) *error = text;
        return false;
    }

    CURL* easy_ = nullptr;
    TrustContext trust_;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    int socket_ = -1;
    std::mutex mutex_;
    std::atomic<bool> closed_{false};
};

class EngineImpl final : public Engine {
public:
    explicit EngineImpl(const std::string& name) : core_(std::make_shared<EngineCore>()) {
        auto core = core_;
        thread_ = std::thread([core] { core->run(); });
        (void)name;
    }
    ~EngineImpl() override {
        core_->stop();
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::shared_ptr<Session> createSession(const ProxyRoute& route) override {
        return std::make_shared<SessionImpl>(route, core_);
    }

    std::shared_ptr<Transfer> start(const std::shared_ptr<Session>& session, Request request, TransferDelegate delegate,
                                    ServerTrustHook trust) override {
        auto impl = std::dynamic_pointer_cast<SessionImpl>(session);
        auto transfer = std::make_shared<TransferImpl>(impl, std::move(request), std::move(delegate), std::move(trust), core_);
        auto core = core_;
        const bool posted = core->post([core, transfer, impl] {
            if (!impl || impl->isInvalidated()) {
                transfer->finishWith(TransferErrorKind::Cancelled, "session invalidated");
                return;
            }
            core->add(transfer);
        });
        // The engine is gone: the completion still runs once, here.
        if (!posted) transfer->finishWith(TransferErrorKind::Cancelled, "engine stopped");
        return transfer;
    }

    std::unique_ptr<StreamConnection> openStream(const std::shared_ptr<Session>& session, const std::string& url,
                                                 const std::optional<Credentials>& proxyCredentials, long connectTimeoutMs,
                                                 ServerTrustHook trust, TransferResult* result) override {
        TransferResult scratch;
        if (!result) result = &scratch;
        if (!session || session->isInvalidated()) {
            result->kind = TransferErrorKind::Cancelled;
            result->message = "session invalidated";
            return nullptr;
        }
        std::optional<ProxyRoute> route = session->route();
        if (route->mode == ProxyRoute::Mode::System) route = core_->systemProxyFor(url);
        auto stream = std::make_unique<StreamConnectionImpl>();
        if (!stream->open(url, route, proxyCredentials, connectTimeoutMs, std::move(trust), result)) return nullptr;
        return stream;
    }

    void setSystemProxyResolver(std::function<std::optional<ProxyRoute>(const std::string&)> resolver) override {
        core_->setResolver(std::move(resolver));
    }

    void dispatch(const std::shared_ptr<platform::dispatch::DispatchQueue>& queue, Block block) override {
        // The worker the queue would hand to the pool, if it was idle.
        Block worker;
        {
            WorkerPool::DeferralScope scope(&worker);
            queue->async(std::move(block));
        }
        if (worker && !core_->tryPost(worker, true)) WorkerPool::shared().run(std::move(worker));
    }

private:
    std::shared_ptr<EngineCore> core_;
    std::thread thread_;
};

}  // namespace

std::shared_ptr<Engine> Engine::create(const std::string& name) { return std::make_shared<EngineImpl>(name); }

}  // namespace platform::http
