#include "net/session/NRVURLSessionHandler.h"

#include <map>
#include <mutex>
#include <set>

#include "foundation/NRVDateFormatter.h"
#include "foundation/NerovaLogger.h"
#include "net/url/NRVLogRedaction.h"
#include "net/session/NRVURLSessionHandlerInternal.h"
#include "net/url/NetworkUtility.h"
#include "platform/thread/ThreadNumber.h"
#include "platform/memory/NoDestructor.h"

// --- cookies ----------------------------------------------------------------

bool NRVURLSessionHandler::detectItemReuse(const std::optional<std::string>& item, const std::string& key,
                                           const std::string& prefix, const std::string& name) {
    static std::mutex mutex;
    static platform::NoDestructor<std::map<std::string, std::string>> currentItems;
    static platform::NoDestructor<std::map<std::string, std::set<std::string>>> oldItems;
    if (!item) return false;
    const NRVLogHandle& log = NerovaLogger::session_dup();
    std::lock_guard<std::mutex> lock(mutex);
    auto current = currentItems->find(key);
    if (current == currentItems->end()) {
        log.log(prefix + " - first time we encounter key " + key + "; " + name + ": " + *item);
        (*currentItems)[key] = *item;
        (*oldItems)[key] = {};
        return false;
    }
    if (current->second == *item) {
        log.log(prefix + " - using current " + name + " " + *item + " for key " + key);
        return false;
    }
    const std::string last = current->second;
    log.log(prefix + " - last " + name + " seen: " + last + "; now using " + *item + " for key " + key);
    current->second = *item;
    auto old = oldItems->find(key);
    if (old == oldItems->end()) {
        log.log(prefix + " - ** logic error ** URL " + key + "'s old " + name + " set missing");
        return false;
    }
    old->second.insert(last);
    if (old->second.count(*item)) {
        log.log(prefix + " - ** WARNING ** old " + name + " " + *item + " being re-used for key " + key);
        return true;
    }
    return false;
}

void NRVURLSessionHandler::logCookies(const NRVURLSessionRef& session, const NRVURLRequest& request,
                                      const std::string& /*label*/) {
    const NRVLogHandle& log = NerovaLogger::session_dup();
    std::string prefix;
    prefix.reserve(64);
    prefix.append("TID ")
        .append(std::to_string(platform::thread::currentThreadNumber()))
        .append(" Q ")
        .append(taskQueue_->isCurrent() ? std::string_view(taskQueue_->label()) : std::string_view("(null)"))
        .append(" - HTTP cookie");
    const std::string host = NetworkUtility::extractHost(request.URL);
    // Both lines of every request are made in one buffer.
    std::string line;
    line.reserve(prefix.size() + host.size() + 64);
    log.log(line.append(prefix).append(" - request URL: ").append(host));
    const auto cookies = session->transport()->cookiesForURL(request.URL);
    line.assign(prefix).append(cookies.size() < 2 ? " - " : " - ** WARNING ** - ").append("count for request URL: ");
    log.log(line.append(std::to_string(cookies.size())));
    // Made for the first cookie that has an expiry date: most requests carry none.
    std::optional<NRVDateFormatter> expiryFormat;
    auto yesNo = [](bool b) { return std::string(b ? "YES" : "NO"); };
    std::size_t number = 0;
    for (const auto& cookie : cookies) {
        // Keyed: an unsalted digest of a guessable value gives the value back.
        const std::string hash = NRVLogRedaction::keyedDigest(cookie.value);
        log.log(prefix + " - cookie #" + std::to_string(++number) + " name: " + cookie.name + ", hash value: " + hash +
                ", session only: " + yesNo(cookie.expires == 0) + ", domain: " + cookie.domain +
                ", path: " + cookie.path + ", secure: " + yesNo(cookie.secure) + ", HTTP only: " +
                yesNo(cookie.httpOnly) + ", expiry date: " + yesNo(cookie.expires != 0));
        if (cookie.expires != 0) {
            if (!expiryFormat) expiryFormat.emplace("yyyy-MM-dd HH:mm:ss", "en_US_POSIX", NRVDateFormatter::Zone::System);
            log.log(prefix + " - " + hash + " expiry date: " +
                    expiryFormat->stringFromDate(NRVDate::fromUnix(static_cast<double>(cookie.expires))));
        }
        detectItemReuse(hash, host, prefix, "cookie");
    }
}
