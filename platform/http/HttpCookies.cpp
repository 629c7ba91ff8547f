// A session's cookies: clearing them, reading them back for a URL, and
// keeping the store within its bound.
#include "platform/http/HttpEngineInternal_curl.h"

namespace platform::http::detail {

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
    curl_slist* list = nullptr;
    withCookieHandle([&list](CURL* easy) {
        if (curl_easy_getinfo(easy, CURLINFO_COOKIELIST, &list) != CURLE_OK) list = nullptr;
    });
    // Most sessions hold no cookie: the URL is parsed only when one is there
    // to match against it.
    if (!list) return result;
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
    for (curl_slist* item = host.empty() ? nullptr : list; item; item = item->next) {
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

}  // namespace platform::http::detail
