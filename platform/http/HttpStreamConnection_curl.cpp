// The libcurl stream connection: connect-only, then raw sends and receives on
// the connected socket.
#include "platform/http/HttpStreamConnection_curl.h"

#include "platform/http/HttpEngineInternal_curl.h"

namespace platform::http::detail {

namespace {

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

    bool send(const void* data, std::size_t size, platform::Error* error) override {
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

    long sendSome(const void* data, std::size_t size, platform::Error* error) override {
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

    long receive(void* buffer, std::size_t capacity, int timeoutMs, platform::Error* error) override {
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
    static bool fail(platform::Error* error, const std::string& text) {
        if (error) *error = platform::Error{"", 0, text};
        return false;
    }

    CURL* easy_ = nullptr;
    TrustContext trust_;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    int socket_ = -1;
    std::mutex mutex_;
    std::atomic<bool> closed_{false};
};

}  // namespace

std::unique_ptr<StreamConnection> openStreamConnection(const std::string& url, const std::optional<ProxyRoute>& route,
                                                       const std::optional<Credentials>& credentials,
                                                       long connectTimeoutMs, ServerTrustHook hook,
                                                       TransferResult* result) {
    auto stream = std::make_unique<StreamConnectionImpl>();
    if (!stream->open(url, route, credentials, connectTimeoutMs, std::move(hook), result)) return nullptr;
    return stream;
}

}  // namespace platform::http::detail
