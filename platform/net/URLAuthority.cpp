#include "platform/net/URLAuthority.h"

namespace platform::net {

std::optional<URLAuthority> URLAuthority::parse(std::string_view text) {
    URLAuthority out;
    if (auto at = text.rfind('@'); at != std::string_view::npos) {
        std::string_view userinfo = text.substr(0, at);
        text.remove_prefix(at + 1);
        auto colon = userinfo.find(':');
        out.user = userinfo.substr(0, colon);
        if (colon != std::string_view::npos) out.password = userinfo.substr(colon + 1);
    }
    std::string_view portText;
    if (!text.empty() && text.front() == '[') {
        auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        out.host = text.substr(1, close - 1);
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            portText = rest.substr(1);
        }
    } else {
        auto colon = text.find(':');
        out.host = text.substr(0, colon);
        if (colon != std::string_view::npos) portText = text.substr(colon + 1);
        if (out.host.find_first_of("[]") != std::string_view::npos) return std::nullopt;
    }
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        unsigned value = 0;
        for (char c : portText) value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 65535) return std::nullopt;
        out.port = static_cast<std::uint16_t>(value);
    }
    return out;
}

}  // namespace platform::net
