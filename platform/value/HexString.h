// Bytes as hexadecimal text: hashes in requirement texts, signing records
// and tool output.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace platform {

// Two lowercase digits a byte, high nibble first; "" for no bytes.
std::string lowercaseHex(std::span<const std::uint8_t> bytes);

}  // namespace platform
