// The keychain file's encoding of values: little-endian integers,
// length-prefixed byte strings, and values as a kind byte followed by their
// contents. Not part of the layer's interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/bytes/ByteReader.h"
#include "platform/bytes/ByteWriter.h"
#include "platform/value/NRVValue.h"

namespace platform::keychain::detail {

constexpr int kMaxValueDepth = 16;

using bytes::LittleEndianReader;
using bytes::LittleEndianWriter;

// A byte string: its length as u32, then the bytes.
void writeBlob(LittleEndianWriter& w, const void* data, std::size_t n);
bool readBlob(LittleEndianReader& r, std::span<const std::uint8_t>* out);

// A value: a kind byte, then its contents. Decoding refuses anything
// malformed, nesting deeper than kMaxValueDepth, counts larger than the bytes
// left could hold, and duplicate dictionary keys.
void encodeValue(LittleEndianWriter& w, const NRVValue& value);
bool decodeValue(LittleEndianReader& r, NRVValue* out, int depth);

}  // namespace platform::keychain::detail
