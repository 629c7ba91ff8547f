// Reads fixed-width integers in one byte order, and raw bytes, from a span:
// the reader of the binary encodings the system writes with ByteWriter (the
// keychain file, the transport's frames). The input is untrusted: every read
// checks what is left first, and a read that does not fit answers false and
// consumes nothing.
//
// Not thread-safe; the bytes outlive the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "platform/bytes/ByteOrder.h"

namespace platform::bytes {

template <ByteOrder Order>
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t remaining() const { return data_.size() - position_; }
    bool atEnd() const { return position_ == data_.size(); }

    bool u8(std::uint8_t* v) {
        if (remaining() < 1) return false;
        *v = data_[position_++];
        return true;
    }
    bool u32(std::uint32_t* v) {
        std::uint64_t wide = 0;
        if (!get(4, &wide)) return false;
        *v = static_cast<std::uint32_t>(wide);
        return true;
    }
    bool u64(std::uint64_t* v) { return get(8, v); }
    // A number from its IEEE 754 bits, as u64.
    bool f64(double* v) {
        std::uint64_t bits = 0;
        if (!u64(&bits)) return false;
        std::memcpy(v, &bits, sizeof bits);
        return true;
    }
    // Copies the next n bytes.
    bool bytes(void* out, std::size_t n) {
        if (remaining() < n) return false;
        if (n) std::memcpy(out, data_.data() + position_, n);
        position_ += n;
        return true;
    }
    // The next n bytes, in place.
    bool take(std::size_t n, std::span<const std::uint8_t>* out) {
        if (remaining() < n) return false;
        *out = data_.subspan(position_, n);
        position_ += n;
        return true;
    }

private:
    bool get(std::size_t width, std::uint64_t* v) {
        if (remaining() < width) return false;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t shift = Order == ByteOrder::BigEndian ? 8 * (width - 1 - i) : 8 * i;
            value |= std::uint64_t{data_[position_ + i]} << shift;
        }
        *v = value;
        position_ += width;
        return true;
    }

    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
};

using BigEndianReader = ByteReader<ByteOrder::BigEndian>;
using LittleEndianReader = ByteReader<ByteOrder::LittleEndian>;

}  // namespace platform::bytes
