#include "platform/net/Address.h"

#include <arpa/inet.h>

#include <string>

namespace platform::net {

std::optional<std::uint32_t> parseIPv4Address(std::string_view text) {
    // The parser reads a C string, so text with a NUL inside has no such form.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    in_addr address{};
    if (inet_aton(std::string(text).c_str(), &address) == 0) return std::nullopt;
    return ntohl(address.s_addr);
}

}  // namespace platform::net
