// The bound on one session's cookie store, as browsers bound theirs: at
// most kMaxPerDomain cookies per domain (the domain a cookie belongs to,
// its host for a host-only cookie) and kMaxTotal in all; past either, the
// oldest cookies go. Without it a server that sets new cookies on every
// answer grows the store, and the cookie lines logged per request, without
// end.
//
// Age is the order in which the limit first saw a cookie (its domain, path
// and name); a cookie set again keeps its age. Cookies first seen together
// (one answer) are ordered as the store lists them.
//
// Threading: not thread-safe; its owner serialises the calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/http/HttpEngine.h"

namespace platform::http {

class CookieStoreLimit {
public:
    static constexpr std::size_t kMaxPerDomain = 180;
    static constexpr std::size_t kMaxTotal = 3000;

    explicit CookieStoreLimit(std::size_t maxPerDomain = kMaxPerDomain, std::size_t maxTotal = kMaxTotal)
        : maxPerDomain_(maxPerDomain), maxTotal_(maxTotal) {}

    // Takes the store's cookies as they are now; answers, per cookie, whether
    // it stays. Cookies no longer in the store are forgotten.
    std::vector<bool> keep(const std::vector<Cookie>& cookies);

private:
    std::size_t maxPerDomain_;
    std::size_t maxTotal_;
    std::uint64_t next_ = 0;
    std::map<std::string, std::uint64_t> ages_;  // domain, path and name to first sight
};

}  // namespace platform::http
