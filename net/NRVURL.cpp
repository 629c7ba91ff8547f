#include "net/NRVURL.h"

#include <cctype>

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
        if (auto at = authority.rfind('@'); at != std::string_view::npos) {
            std::string_view userinfo = authority.substr(0, at);
            authority.remove_prefix(at + 1);
            auto colon = userinfo.find(':');
            url.user = std::string(userinfo.substr(0, colon));
            if (colon != std::string_view::npos) url.password = std::string(userinfo.substr(colon + 1));
        }
        std::string_view portText;
        bool hasPort = false;
        if (!authority.empty() && authority.front() == '[') {
            auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            url.host = std::string(authority.substr(1, close - 1));
            std::string_view rest = authority.substr(close + 1);
            if (!rest.empty()) {
                if (rest.front() != ':') return std::nullopt;
                portText = rest.substr(1);
                hasPort = true;
            }
        } else {
            auto colon = authority.find(':');
            url.host = std::string(authority.substr(0, colon));
            if (colon != std::string_view::npos) {
                portText = authority.substr(colon + 1);
                hasPort = true;
            }
            if (url.host->find_first_of("[]") != std::string::npos) return std::nullopt;
        }
        if (hasPort && !portText.empty()) {
            if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string_view::npos)
                return std::nullopt;
            unsigned long port = std::stoul(std::string(portText));
            if (port > 65535) return std::nullopt;
            url.port = static_cast<std::uint16_t>(port);
        }
    }
    url.path = std::string(text);
    return url;
}
