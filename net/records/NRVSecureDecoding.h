// The typed reads of the network records' decoders: each refuses a value
// of another kind, leaving the field as it was and naming the key in the
// error; the record then fails as a whole, as under secure decoding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "foundation/NRVError.h"
#include "platform/value/NRVValue.h"

namespace NRVSecureDecoding {

constexpr const char* kErrorDomain = "NSCocoaErrorDomain";
constexpr std::int64_t kCoderReadCorruptError = 4864;

void decodeString(const NRVDictionary& coder, const char* key, std::optional<std::string>& out, NRVError* error);
void decodeInt64(const NRVDictionary& coder, const char* key, std::int64_t& out, NRVError* error);
// Archived as a signed integer; read back bit for bit.
void decodeUInt64(const NRVDictionary& coder, const char* key, std::uint64_t& out, NRVError* error);
void decodeBool(const NRVDictionary& coder, const char* key, bool& out, NRVError* error);
// An array of numbers only.
void decodeNumberArray(const NRVDictionary& coder, const char* key, std::optional<NRVArray>& out, NRVError* error);

inline NRVValue encodeUInt64(std::uint64_t v) { return NRVValue(static_cast<long long>(v)); }

}  // namespace NRVSecureDecoding
