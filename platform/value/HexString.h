// Bytes as hexadecimal text: hashes in requirement texts, signing records
// and tool output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace platform {

// Two lowercase digits a byte, high nibble first; "" for no bytes.
std::string lowercaseHex(std::span<const std::uint8_t> bytes);

// `count` bytes from the kernel's random generator in the same form: names
// nobody else can guess (sockets, endpoints).
std::string randomLowercaseHex(std::size_t count);

}  // namespace platform
