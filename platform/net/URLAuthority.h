// The authority of a URL, "[user[:password]@]host[:port]", as the URL type
// and the proxy settings read it. The parts are views into the text given,
// as written (nothing is percent-decoded); what a caller allows beyond the
// syntax (host characters, port 0, a default port) is the caller's to check.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform::net {

struct URLAuthority {
    std::optional<std::string_view> user;      // before the last "@", up to the first ":"
    std::optional<std::string_view> password;  // after that ":"
    std::string_view host;                     // without the brackets of an IPv6 literal
    std::optional<std::uint16_t> port;         // nullopt when absent or empty ("host:")

    // nullopt for a bracket without its pair, text after "]" that is no
    // port, a bracket inside an unbracketed host, or a port that is not
    // 0 to 65535 in at most five digits.
    static std::optional<URLAuthority> parse(std::string_view text);
};

}  // namespace platform::net
