// The keychain file's byte encoding: little-endian integers, length-prefixed
// byte strings, and values as a kind byte followed by their contents. Not part
// of the layer's interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "platform/value/NRVValue.h"

namespace platform::keychain::detail {

constexpr int kMaxValueDepth = 16;

class Writer {
public:
    std::vector<std::uint8_t> bytes;
    void u8(std::uint8_t v) { bytes.push_back(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void raw(const void* data, std::size_t n) {
        auto p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + n);
    }
    void blob(const void* data, std::size_t n) {
        u32(static_cast<std::uint32_t>(n));
        raw(data, n);
    }
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    std::size_t remaining() const { return data_.size() - pos_; }
    std::size_t position() const { return pos_; }
    bool u8(std::uint8_t* v) {
        if (remaining() < 1) return false;
        *v = data_[pos_++];
        return true;
    }
    bool u32(std::uint32_t* v) {
        if (remaining() < 4) return false;
        *v = 0;
        for (int i = 0; i < 4; ++i) *v |= static_cast<std::uint32_t>(data_[pos_ + i]) << (8 * i);
        pos_ += 4;
        return true;
    }
    bool u64(std::uint64_t* v) {
        if (remaining() < 8) return false;
        *v = 0;
        for (int i = 0; i < 8; ++i) *v |= static_cast<std::uint64_t>(data_[pos_ + i]) << (8 * i);
        pos_ += 8;
        return true;
    }
    bool raw(void* out, std::size_t n) {
        if (remaining() < n) return false;
        std::memcpy(out, data_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    bool blob(std::span<const std::uint8_t>* out) {
        std::uint32_t n = 0;
        if (!u32(&n) || remaining() < n) return false;
        *out = data_.subspan(pos_, n);
        pos_ += n;
        return true;
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

void encodeValue(Writer& w, const NRVValue& value);
bool decodeValue(Reader& r, NRVValue* out, int depth);

}  // namespace platform::keychain::detail
