#include "net/url/NRVURL.h"

#include <cctype>

#include "platform/net/URLAuthority.h"

namespace {

constexpr std::size_t kMaxURLLength = 64 * 1024;

bool allowedCharacter(unsigned char c) {
    if (std::isalnum(c)) return true;
    switch (c) {
        case '-': case '.': case '_': case '~':                                         // unreserved
        case ':': case '/': case '?': case '#': case '[': case ']': case '@':          // general delimiters
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+':
        case ',': case ';': case '=':                                                   // sub-delimiters
            return true;
        default:
            return false;
    }
}

bool wellFormed(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
                return false;
            i += 2;
        } else if (!allowedCharacter(c)) {
            return false;
        }
    }
    return true;
}

std::size_t schemeLength(std::string_view text) {
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return 0;
    for (std::size_t i = 1; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ':') return i;
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return 0;
    }
    return 0;
}

}  // namespace

std::optional<NRVURL> NRVURL::parse(std::string_view text) {
    if (text.size() > kMaxURLLength || !wellFormed(text)) return std::nullopt;
    NRVURL url;
    if (std::size_t n = schemeLength(text)) {
        url.scheme = std::string(text.substr(0, n));
        text.remove_prefix(n + 1);
    }
    if (auto hash = text.find('#'); hash != std::string_view::npos) {
        url.fragment = std::string(text.substr(hash + 1));
        text = text.substr(0, hash);
    }
    if (auto question = text.find('?'); question != std::string_view::npos) {
        url.query = std::string(text.substr(question + 1));
        text = text.substr(0, question);
    }
    if (text.substr(0, 2) == "//") {
        text.remove_prefix(2);
        auto slash = text.find('/');
        std::string_view authority = text.substr(0, slash);
        text = slash == std::string_view::npos ? std::string_view() : text.substr(slash);
        auto parts = platform::net::URLAuthority::parse(authority);
        if (!parts) return std::nullopt;
        if (parts->user) url.user = std::string(*parts->user);
        if (parts->password) url.password = std::string(*parts->password);
        url.host = std::string(parts->host);
        url.port = parts->port;
    }
    url.path = std::string(text);
    return url;
}
