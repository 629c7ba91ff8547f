// Appends fixed-width integers in one byte order, and raw bytes, to a byte
// vector: the writer of the binary encodings (the keychain file, the
// transport's frames, the signed fields of a signature file). Each encoding
// keeps its own layout; this class only lays out the bytes.
//
// Not thread-safe: one writer per vector, and the vector outlives the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/bytes/ByteOrder.h"

namespace platform::bytes {

template <ByteOrder Order>
class ByteWriter {
public:
    explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}

    void u8(std::uint8_t v) { out_.push_back(v); }
    void u32(std::uint32_t v) { put(v, 4); }
    void u64(std::uint64_t v) { put(v, 8); }
    // The number's IEEE 754 bits, as u64.
    void f64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        u64(bits);
    }
    void bytes(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), p, p + n);
    }
    // Overwrites four bytes written earlier at `offset`, for a length known
    // only once what follows it is written.
    void u32At(std::size_t offset, std::uint32_t v) {
        for (std::size_t i = 0; i < 4; ++i) out_.at(offset + i) = byteOf(v, i, 4);
    }

private:
    static std::uint8_t byteOf(std::uint64_t v, std::size_t i, std::size_t width) {
        const std::size_t shift = Order == ByteOrder::BigEndian ? 8 * (width - 1 - i) : 8 * i;
        return static_cast<std::uint8_t>(v >> shift);
    }
    void put(std::uint64_t v, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) out_.push_back(byteOf(v, i, width));
    }

    std::vector<std::uint8_t>& out_;
};

using BigEndianWriter = ByteWriter<ByteOrder::BigEndian>;
using LittleEndianWriter = ByteWriter<ByteOrder::LittleEndian>;

}  // namespace platform::bytes
