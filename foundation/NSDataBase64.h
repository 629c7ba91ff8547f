// Base64 text and digests of byte buffers. "nil" text is std::nullopt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/value/NRVValue.h"

// Base64 of `length` bytes, in lines of 64 characters separated by CR LF when
// `separateLines` is set (no line break at the end). Returns a zero-terminated
// buffer from std::malloc that the caller frees, or nullptr when allocation
// fails; `outputLength` receives the character count without the terminator.
char* newBase64Encode(const void* buffer, std::size_t length, bool separateLines, std::size_t* outputLength);

// Decodes Base64, skipping every character outside the alphabet (line breaks,
// blanks, "="). A length of SIZE_MAX means the text is zero-terminated.
// Returns a buffer of (length + 3) / 4 * 3 bytes from std::malloc that the
// caller frees, or nullptr when allocation fails; `outputLength` receives the
// number of decoded bytes.
void* newBase64Decode(const char* inputBuffer, std::size_t length, std::size_t* outputLength);

namespace Base64 {

// Empty data for nil, blank or non-ASCII text.
NRVData dataFromBase64String(std::optional<std::string_view> string);
std::string base64EncodedString(std::span<const std::uint8_t> data);
std::string base64EncodedStringWithoutLineBreaks(std::span<const std::uint8_t> data);
// Lower-case hexadecimal digests.
std::string sha1Hash(std::span<const std::uint8_t> data);
std::string sha256Hash(std::span<const std::uint8_t> data);

}  // namespace Base64
