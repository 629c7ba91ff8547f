// Network address text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform::net {

// An IPv4 address in the classic forms the C library accepts (dotted quad,
// short forms, hexadecimal and octal parts), in host byte order.
std::optional<std::uint32_t> parseIPv4Address(std::string_view text);

}  // namespace platform::net
