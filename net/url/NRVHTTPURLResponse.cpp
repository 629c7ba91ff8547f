#include "net/url/NRVHTTPURLResponse.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "foundation/NSDictionaryExtensions.h"
#include "net/url/NRVLogRedaction.h"

namespace {

struct StatusText {
    std::int64_t code;
    std::string_view text;
};

constexpr StatusText kStatusTexts[] = {
    {100, "continue"},
    {101, "switching protocols"},
    {200, "no error"},
    {201, "created"},
    {202, "accepted"},
    {203, "non-authoritative information"},
    {204, "no content"},
    {205, "reset content"},
    {206, "partial content"},
    {300, "multiple choices"},
    {301, "moved permanently"},
    {302, "found"},
    {303, "see other"},
    {304, "not modified"},
    {305, "needs proxy"},
    {307, "temporarily redirected"},
    {400, "bad request"},
    {401, "unauthorized"},
    {402, "payment required"},
    {403, "forbidden"},
    {404, "not found"},
    {405, "method not allowed"},
    {406, "unacceptable"},
    {407, "proxy authentication required"},
    {408, "request timed out"},
    {409, "conflict"},
    {410, "no longer exists"},
    {411, "length required"},
    {412, "precondition failed"},
    {413, "request too large"},
    {414, "requested URL too long"},
    {415, "unsupported media type"},
    {416, "requested range not satisfiable"},
    {417, "expectation failed"},
    {500, "internal server error"},
    {501, "unimplemented"},
    {502, "bad gateway"},
    {503, "service unavailable"},
    {504, "gateway timed out"},
    {505, "unsupported version"},
};

bool sameField(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        return std::tolower(x) == std::tolower(y);
    });
}

}  // namespace

const std::string* NRVHTTPURLResponse::valueForHTTPHeaderField(const std::string& field) const {
    for (std::size_t i = 0; i < allHeaderFields_.size(); ++i)
        if (sameField(allHeaderFields_.keyAt(i), field)) return allHeaderFields_.valueAt(i).asString();
    return nullptr;
}

std::string NRVHTTPURLResponse::localizedStringForStatusCode(std::int64_t statusCode) {
    for (const auto& row : kStatusTexts)
        if (row.code == statusCode) return std::string(row.text);
    if (statusCode < 200) return "informational";
    if (statusCode < 300) return "success";
    if (statusCode < 400) return "redirected";
    if (statusCode < 500) return "client error";
    return "server error";
}

std::string NRVHTTPURLResponse::description() const {
    // Descriptions end up in log lines: cookies and credentials stay out.
    NRVDictionary shown;
    for (std::size_t i = 0; i < allHeaderFields_.size(); ++i) {
        const std::string& name = allHeaderFields_.keyAt(i);
        shown.set(name, NRVLogRedaction::isSecretHeaderField(name) ? NRVValue(NRVLogRedaction::kMask)
                                                                   : allHeaderFields_.valueAt(i));
    }
    return "<NRVHTTPURLResponse> { URL: " + NRVLogRedaction::redactedURL(url_) +
           " } { Status Code: " + std::to_string(statusCode_) + ", Headers " +
           NSDictionaryExtensions::singleLineDescription(shown) + " }";
}
