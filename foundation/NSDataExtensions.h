// Byte-level helpers of the base library: emptiness tests, hexadecimal text,
// gzip compression and decompression, and an AES cipher with a built-in key.
// "nil" data is a null pointer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "foundation/NRVError.h"
#include "platform/value/NRVValue.h"

namespace NSDataExtensions {

bool isNilOrEmpty(const NRVData* data);
bool hasContent(const NRVData* data);

// "<" + two lower-case hex digits per byte + ">", a blank after every four
// bytes except after the last: bytes 1..5 give "<01020304 05>".
std::string hexRepresentation(std::span<const std::uint8_t> data);
// hexRepresentation, or "(null)" for nil or empty data.
std::string hexDescription(const NRVData* data);

// A gzip stream (level 1) of the data; nullopt on a zlib error. Inputs of any
// size are fed to zlib in pieces, so nothing is cut at 4 GiB.
std::optional<NRVData> gzipCompress(std::span<const std::uint8_t> data);
// The bytes of one gzip stream; nullopt for input that is not gzip, is
// damaged or ends before the stream does (never partial data).
std::optional<NRVData> gzipDecompress(std::span<const std::uint8_t> data);

// AES-256 in ECB mode with PKCS#7 padding under the program's fixed key.
// Errors carry the domain "kEncryptionError" and the cipher status as code.
enum class NRVCipherOperation { Encrypt = 0, Decrypt = 1 };
std::optional<NRVData> doCipher(std::span<const std::uint8_t> data, NRVCipherOperation operation,
                                NRVError* error = nullptr);
std::optional<NRVData> aesEncrypt(std::span<const std::uint8_t> data, NRVError* error = nullptr);
std::optional<NRVData> aesDecrypt(std::span<const std::uint8_t> data, NRVError* error = nullptr);

}  // namespace NSDataExtensions
