// The parts of a URL text, as the URL stack reads hosts out of addresses
// the user or the settings gave. Strict: a text with a character that has
// no place in a URL (a blank, a control character, non-ASCII, a "%" not
// followed by two hexadecimal digits) is no URL.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct NRVURL {
    std::string scheme;               // as written; empty for a relative reference
    std::optional<std::string> user;  // percent-encoded as written
    std::optional<std::string> password;
    std::optional<std::string> host;  // without the brackets of an IPv6 literal; nullopt without an authority
    std::optional<std::uint16_t> port;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;

    // nullopt when the text is no URL (see above) or its port is not 0 to 65535.
    static std::optional<NRVURL> parse(std::string_view text);
};
