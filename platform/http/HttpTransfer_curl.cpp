// One HTTP transfer on an engine's multi handle: setting up its easy handle,
// taking in head and body, and finishing exactly once.
#include "platform/http/HttpEngineInternal_curl.h"
#include "platform/memory/NoDestructor.h"

#include <string_view>

namespace platform::http::detail {

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

namespace {

// What an empty CURLOPT_ACCEPT_ENCODING offers, every decoder libcurl has in
// its own order, made once: given the empty text, libcurl makes the list
// again for every transfer.
const char* acceptedEncodings() {
    static const platform::NoDestructor<std::string> list([] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        std::string names;
        const auto add = [&names](const char* name) {
            if (!names.empty()) names += ", ";
            names += name;
        };
        if (info && (info->features & CURL_VERSION_LIBZ)) {
            add("deflate");
            add("gzip");
        }
        if (info && (info->features & CURL_VERSION_BROTLI)) add("br");
        if (info && (info->features & CURL_VERSION_ZSTD)) add("zstd");
        return names;
    }());
    return list->c_str();  // empty without decoders: libcurl then offers identity
}

// The request line that offers them, or empty when libcurl has no decoder.
// Given as a header of the request, since libcurl formats its own line anew
// for every request, a byte at a time; a request's own Accept-Encoding
// takes its place, as it takes libcurl's.
const std::string& acceptEncodingHeader() {
    static const platform::NoDestructor<std::string> line([] {
        const std::string names = acceptedEncodings();
        return names.empty() ? std::string() : "Accept-Encoding: " + names;
    }());
    return *line;
}

std::string proxyURL(const ProxyRoute& route) {
    std::string host = route.host;
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(route.port);
}

}  // namespace


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

void TransferImpl::cancel() {
    auto core = core_.lock();
    if (!core || !running_) return;
    auto self = shared_from_this();
    core->post([core, self] { core->remove(self, TransferErrorKind::Cancelled, "cancelled"); });
}

bool TransferImpl::setUp(platform::Error* failure) {
    easy_ = session_->takeHandle();
    if (!easy_) {
        failure->description = "could not create a transfer";
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
    // Switches the decoders on; the offer itself goes with the headers below.
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, acceptedEncodings());
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
    bool ownEncodings = false;
    for (const auto& [name, value] : request_.headers) {
        // A header that holds a line break would smuggle a second header.
        if (name.find_first_of("\r\n:") != std::string::npos || value.find_first_of("\r\n") != std::string::npos) continue;
        headerList_ = curl_slist_append(headerList_, (name + ": " + value).c_str());
        ownEncodings = ownEncodings || strcasecmp(name.c_str(), "Accept-Encoding") == 0;
    }
    if (!ownEncodings && !acceptEncodingHeader().empty())
        headerList_ = curl_slist_append(headerList_, acceptEncodingHeader().c_str());
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
            failure->description = "could not create the download file";
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
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    // Only the status line that opens a head (the next answer after an
    // interim one or a redirect) starts the limit again; a header line
    // that merely begins with "HTTP/" counts like any other.
    if (self->atHeadStart_ && line.rfind("HTTP/", 0) == 0) {
        self->atHeadStart_ = false;
        self->pending_ = ResponseHead{};
        self->pending_.headers.reserve(16);
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
        if (colon != std::string_view::npos) {
            std::string_view value = line.substr(colon + 1);
            auto first = value.find_first_not_of(" \t");
            value = first == std::string_view::npos ? std::string_view() : value.substr(first);
            if (colon == 10 && strncasecmp(line.data(), "Set-Cookie", colon) == 0) self->setCookies_ = true;
            self->pending_.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
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
    self->head_ = std::move(self->pending_);
    self->pending_ = ResponseHead{};
    bool mayBeFollowed = false;
    self->encodedBody_ = false;
    for (const auto& [name, value] : self->head_->headers) {
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
    result.response = std::move(head_);
    head_.reset();
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
    if (delegate.onComplete) delegate.onComplete(std::move(result));
}

void TransferImpl::releaseHandles() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (easy_) session_->giveBack(easy_);
    easy_ = nullptr;
    if (headerList_) curl_slist_free_all(headerList_);
    headerList_ = nullptr;
}

}  // namespace platform::http::detail
