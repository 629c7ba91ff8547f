// Network address text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::net {

// An IPv4 address in the classic forms the C library accepts (dotted quad,
// short forms, hexadecimal and octal parts), in host byte order.
std::optional<std::uint32_t> parseIPv4Address(std::string_view text);

// The text of the peer address of a connected socket (IPv4 or IPv6, read
// into storage big enough for either); nullopt for another family, an
// unconnected socket or a bad descriptor.
std::optional<std::string> peerAddressString(int fd);

// The address text of a socket address held in bytes, in this machine's
// layout (16-bit family first) or the platform's (length byte, then the
// family byte: 2 for IPv4, 30 for IPv6). IPv4 reads the 4 bytes at offset 4,
// IPv6 the 16 at offset 8; nullopt when the bytes are too short for the
// family or the family is neither.
std::optional<std::string> socketAddressString(const std::vector<std::uint8_t>& bytes);

// Dotted text of an IPv4 address in host byte order.
std::string ipv4String(std::uint32_t address);

}  // namespace platform::net
