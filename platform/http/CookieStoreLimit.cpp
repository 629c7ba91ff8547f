#include "platform/http/CookieStoreLimit.h"

#include <algorithm>
#include <cctype>
#include <numeric>

namespace platform::http {
namespace {

// Domains compare without case.
std::string domainOf(const Cookie& cookie) {
    std::string domain = cookie.domain;
    std::transform(domain.begin(), domain.end(), domain.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return domain;
}

std::string identity(const Cookie& cookie) {
    std::string key = domainOf(cookie);
    key += '\t';
    key += cookie.path;
    key += '\t';
    key += cookie.name;
    return key;
}

}  // namespace

std::vector<bool> CookieStoreLimit::keep(const std::vector<Cookie>& cookies) {
    std::map<std::string, std::uint64_t> seen;
    std::vector<std::uint64_t> age(cookies.size());
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        const std::string key = identity(cookies[i]);
        auto known = ages_.find(key);
        age[i] = known != ages_.end() ? known->second : next_++;
        seen[key] = age[i];
    }
    ages_ = std::move(seen);

    // Youngest first: the first maxPerDomain_ of a domain and the first
    // maxTotal_ of all stay.
    std::vector<std::size_t> order(cookies.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return age[a] > age[b]; });
    std::vector<bool> kept(cookies.size(), false);
    std::map<std::string, std::size_t> perDomain;
    std::size_t total = 0;
    for (std::size_t i : order) {
        if (++perDomain[domainOf(cookies[i])] > maxPerDomain_) continue;
        if (total == maxTotal_) continue;
        ++total;
        kept[i] = true;
    }
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        if (!kept[i]) ages_.erase(identity(cookies[i]));
    }
    return kept;
}

}  // namespace platform::http
