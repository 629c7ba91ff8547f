#include "foundation/NSDataExtensions.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/crypto/OpenSSLPtr.h"

namespace NSDataExtensions {

namespace {

constexpr std::size_t kGrowStep = 16384;
// zlib counts in 32-bit units; larger inputs and outputs go through in pieces
// of this size so that nothing is cut at 4 GiB.
constexpr std::size_t kMaxPiece = std::size_t{1} << 30;
// Deflate cannot shrink data by more than about this factor, which bounds what
// a gzip trailer may honestly claim as the inflated size.
constexpr std::size_t kMaxInflateRatio = 1032;

// Walks the input and output buffers of one zlib stream in pieces zlib can
// count. The output lives in an uninitialised buffer that grows with
// realloc, so that only bytes zlib writes are ever touched and large buffers
// grow without copying.
class StreamBuffers {
public:
    StreamBuffers(z_stream& stream, std::span<const std::uint8_t> input, std::size_t initialOutput)
        : stream_(stream), input_(input) {
        grow(std::max(kGrowStep, initialOutput));
    }
    ~StreamBuffers() { std::free(output_); }
    StreamBuffers(const StreamBuffers&) = delete;
    StreamBuffers& operator=(const StreamBuffers&) = delete;

    bool valid() const { return output_ != nullptr; }

    // Hands zlib the next piece of input once it has used up the last one.
    void feedInput() {
        if (stream_.avail_in != 0 || fed_ == input_.size()) return;
        const std::size_t piece = std::min(kMaxPiece, input_.size() - fed_);
        stream_.next_in = const_cast<Bytef*>(input_.data() + fed_);
        stream_.avail_in = static_cast<uInt>(piece);
        fed_ += piece;
    }
    bool allInputFed() const { return fed_ == input_.size() && stream_.avail_in == 0; }
    bool lastPieceFed() const { return fed_ == input_.size(); }

    // Points zlib at the free room of the output, growing it when full;
    // false when memory runs out.
    bool provideRoom() {
        if (produced_ == capacity_ && !grow(capacity_ + std::max(kGrowStep, capacity_ / 2))) return false;
        stream_.next_out = output_ + produced_;
        stream_.avail_out = static_cast<uInt>(std::min(kMaxPiece, capacity_ - produced_));
        return true;
    }
    void collect() { produced_ = static_cast<std::size_t>(stream_.next_out - output_); }
    bool outputFull() const { return stream_.avail_out == 0; }

    NRVData take() const { return NRVData(output_, output_ + produced_); }

private:
    bool grow(std::size_t capacity) {
        auto* grown = static_cast<std::uint8_t*>(std::realloc(output_, capacity));
        if (!grown) return false;
        output_ = grown;
        capacity_ = capacity;
        return true;
    }

    z_stream& stream_;
    std::span<const std::uint8_t> input_;
    std::size_t fed_ = 0;
    std::uint8_t* output_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t produced_ = 0;
};

// The inflated size a gzip stream states in its trailer (modulo 4 GiB),
// trusted only as far as deflate could honestly have shrunk the input.
std::size_t inflatedSizeHint(std::span<const std::uint8_t> data) {
    if (data.size() < 18) return kGrowStep;
    const std::uint8_t* t = data.data() + data.size() - 4;
    const std::size_t stated = std::size_t{t[0]} | std::size_t{t[1]} << 8 | std::size_t{t[2]} << 16 | std::size_t{t[3]} << 24;
    return std::min(stated + 1, data.size() * kMaxInflateRatio);
}

constexpr char kHexDigits[] = "0123456789abcdef";

// The cipher's status codes, as callers of the platform cipher know them.
constexpr std::int64_t kCCParamError = -4300;
constexpr std::int64_t kCCMemoryFailure = -4302;
constexpr std::int64_t kCCAlignmentError = -4303;
constexpr std::int64_t kCCDecodeError = -4304;

// The key is put together once from pieces so that it never stands whole in
// the program's constant data.
const std::array<std::uint8_t, 32>& cipherKey() {
    static const std::array<std::uint8_t, 32> key = [] {
        constexpr std::array<std::uint8_t, 8> pieces[4] = {
            {0x4e, 0x72, 0x76, 0x2d, 0x9a, 0x13, 0x5c, 0xe0},
            {0x71, 0x0b, 0xd4, 0x28, 0x66, 0xf1, 0x3a, 0x8c},
            {0x25, 0xb7, 0x90, 0x4f, 0xc2, 0x19, 0xee, 0x57},
            {0x83, 0x3d, 0x6a, 0xfb, 0x0e, 0xa4, 0x41, 0xd9},
        };
        std::array<std::uint8_t, 32> k{};
        for (std::size_t i = 0; i < k.size(); ++i) k[i] = pieces[i % 4][i / 4] ^ static_cast<std::uint8_t>(0x5a + i);
        return k;
    }();
    return key;
}

NRVError cipherError(std::int64_t status) { return NRVError("kEncryptionError", status); }

}  // namespace

bool isNilOrEmpty(const NRVData* data) { return data == nullptr || data->empty(); }

bool hasContent(const NRVData* data) { return !isNilOrEmpty(data); }

// The two digits of every byte value, so that a byte is one lookup.
constexpr std::array<std::array<char, 2>, 256> kHexPairs = [] {
    std::array<std::array<char, 2>, 256> pairs{};
    for (std::size_t b = 0; b < 256; ++b) pairs[b] = {kHexDigits[b >> 4], kHexDigits[b & 0x0F]};
    return pairs;
}();

std::string hexRepresentation(std::span<const std::uint8_t> data) {
    const std::size_t n = data.size();
    // The blanks are already in place; only the digits are written.
    std::string text(2 + 2 * n + (n == 0 ? 0 : (n - 1) / 4), ' ');
    char* out = text.data() + 1;
    text.front() = '<';
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4, out += 9) {
        for (std::size_t k = 0; k < 4; ++k) std::memcpy(out + 2 * k, kHexPairs[data[i + k]].data(), 2);
    }
    for (; i < n; ++i, out += 2) std::memcpy(out, kHexPairs[data[i]].data(), 2);
    text.back() = '>';
    return text;
}

std::string hexDescription(const NRVData* data) {
    return isNilOrEmpty(data) ? std::string("(null)") : hexRepresentation(*data);
}

std::optional<NRVData> gzipCompress(std::span<const std::uint8_t> data) {
    z_stream stream{};
    if (deflateInit2(&stream, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
    // Log text shrinks to about a quarter at this level; the buffer grows if not.
    StreamBuffers buffers(stream, data, data.size() / 4);
    int status = buffers.valid() ? Z_OK : Z_MEM_ERROR;
    while (status == Z_OK || status == Z_BUF_ERROR) {
        buffers.feedInput();
        if (!buffers.provideRoom()) {
            status = Z_MEM_ERROR;
            break;
        }
        status = deflate(&stream, buffers.lastPieceFed() ? Z_FINISH : Z_NO_FLUSH);
        buffers.collect();
        // Z_BUF_ERROR only says that this call could not move on; the loop
        // gives more room or input next time.
    }
    deflateEnd(&stream);
    if (status != Z_STREAM_END) return std::nullopt;
    return buffers.take();
}

std::optional<NRVData> gzipDecompress(std::span<const std::uint8_t> data) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return std::nullopt;
    StreamBuffers buffers(stream, data, inflatedSizeHint(data));
    int status = buffers.valid() ? Z_OK : Z_MEM_ERROR;
    while (status != Z_MEM_ERROR) {
        buffers.feedInput();
        if (!buffers.provideRoom()) {
            status = Z_MEM_ERROR;
            break;
        }
        status = inflate(&stream, Z_NO_FLUSH);
        buffers.collect();
        if (status == Z_STREAM_END) break;
        if (status == Z_OK) continue;
        // No progress: fine while room or input is still to come; with all
        // input used the stream is cut short.
        if (status == Z_BUF_ERROR && (buffers.outputFull() || !buffers.allInputFed())) continue;
        break;
    }
    inflateEnd(&stream);
    if (status != Z_STREAM_END) return std::nullopt;
    return buffers.take();
}

std::optional<NRVData> doCipher(std::span<const std::uint8_t> data, NRVCipherOperation operation, NRVError* error) {
    const bool encrypt = operation == NRVCipherOperation::Encrypt;
    if (!encrypt && data.size() % 16 != 0) {
        NRVSetError(error, cipherError(kCCAlignmentError));
        return std::nullopt;
    }
    platform::crypto::OpenSSLPtr<EVP_CIPHER_CTX> context(EVP_CIPHER_CTX_new());
    if (!context ||
        EVP_CipherInit_ex(context.get(), EVP_aes_256_ecb(), nullptr, cipherKey().data(), nullptr, encrypt ? 1 : 0) != 1) {
        NRVSetError(error, cipherError(context ? kCCParamError : kCCMemoryFailure));
        return std::nullopt;
    }
    NRVData output(data.size() + 16);
    std::size_t produced = 0;
    // EVP counts in int; feed whole blocks in pieces it can count.
    constexpr std::size_t kPiece = std::size_t{1} << 30;
    for (std::size_t offset = 0; offset < data.size(); offset += kPiece) {
        const std::size_t piece = std::min(kPiece, data.size() - offset);
        int written = 0;
        if (EVP_CipherUpdate(context.get(), output.data() + produced, &written, data.data() + offset,
                             static_cast<int>(piece)) != 1) {
            NRVSetError(error, cipherError(kCCParamError));
            return std::nullopt;
        }
        produced += static_cast<std::size_t>(written);
    }
    int written = 0;
    if (EVP_CipherFinal_ex(context.get(), output.data() + produced, &written) != 1) {
        NRVSetError(error, cipherError(encrypt ? kCCParamError : kCCDecodeError));
        return std::nullopt;
    }
    output.resize(produced + static_cast<std::size_t>(written));
    return output;
}

std::optional<NRVData> aesEncrypt(std::span<const std::uint8_t> data, NRVError* error) {
    return doCipher(data, NRVCipherOperation::Encrypt, error);
}

std::optional<NRVData> aesDecrypt(std::span<const std::uint8_t> data, NRVError* error) {
    return doCipher(data, NRVCipherOperation::Decrypt, error);
}

}  // namespace NSDataExtensions
