#include "foundation/NSDataBase64.h"

#include <openssl/evp.h>

#include "foundation/NSStringExtensions.h"
#include "platform/value/HexString.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kBytesPerLine = 48;  // 64 characters
constexpr unsigned char kInvalid = 0xFF;

constexpr std::array<unsigned char, 256> makeDecodeTable() {
    std::array<unsigned char, 256> table{};
    for (auto& entry : table) entry = kInvalid;
    for (unsigned char i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}
constexpr auto kDecodeTable = makeDecodeTable();

std::size_t encodedLength(std::size_t length, bool separateLines) {
    std::size_t characters = (length + 2) / 3 * 4;
    if (separateLines && length > kBytesPerLine) characters += (length - 1) / kBytesPerLine * 2;
    return characters;
}

// Writes exactly encodedLength(length, separateLines) characters.
void encodeInto(const std::uint8_t* in, std::size_t length, bool separateLines, char* out) {
    const std::size_t lineBytes = separateLines ? kBytesPerLine : length;
    std::size_t i = 0;
    while (i < length) {
        const std::size_t lineEnd = i + std::min(lineBytes, length - i);
        for (; i + 3 <= lineEnd; i += 3) {
            const std::uint32_t group = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
            out[0] = kAlphabet[group >> 18];
            out[1] = kAlphabet[(group >> 12) & 0x3F];
            out[2] = kAlphabet[(group >> 6) & 0x3F];
            out[3] = kAlphabet[group & 0x3F];
            out += 4;
        }
        if (i < lineEnd) {  // a final group of 1 or 2 bytes
            const bool two = lineEnd - i == 2;
            const std::uint32_t group = (std::uint32_t{in[i]} << 16) | (two ? std::uint32_t{in[i + 1]} << 8 : 0);
            out[0] = kAlphabet[group >> 18];
            out[1] = kAlphabet[(group >> 12) & 0x3F];
            out[2] = two ? kAlphabet[(group >> 6) & 0x3F] : '=';
            out[3] = '=';
            out += 4;
            i = lineEnd;
        }
        if (separateLines && i < length) {
            *out++ = '\r';
            *out++ = '\n';
        }
    }
}

std::string encode(std::span<const std::uint8_t> data, bool separateLines) {
    std::string text(encodedLength(data.size(), separateLines), '\0');
    encodeInto(data.data(), data.size(), separateLines, text.data());
    return text;
}

std::size_t decodeInto(const char* in, std::size_t length, std::uint8_t* out) {
    std::uint8_t* const start = out;
    std::uint32_t group = 0;
    int collected = 0;
    for (std::size_t i = 0; i < length; ++i) {
        // Whole groups of four valid characters go in one step; anything else
        // (line breaks, padding, stray bytes) one character at a time.
        while (collected == 0 && i + 4 <= length) {
            const auto* group4 = reinterpret_cast<const unsigned char*>(in + i);
            const unsigned char a = kDecodeTable[group4[0]], b = kDecodeTable[group4[1]],
                                c = kDecodeTable[group4[2]], d = kDecodeTable[group4[3]];
            if ((a | b | c | d) & 0x80) break;
            const std::uint32_t bits = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
            out[0] = static_cast<std::uint8_t>(bits >> 16);
            out[1] = static_cast<std::uint8_t>(bits >> 8);
            out[2] = static_cast<std::uint8_t>(bits);
            out += 3;
            i += 4;
        }
        if (i >= length) break;
        const unsigned char value = kDecodeTable[static_cast<unsigned char>(in[i])];
        if (value == kInvalid) continue;
        group = (group << 6) | value;
        if (++collected == 4) {
            out[0] = static_cast<std::uint8_t>(group >> 16);
            out[1] = static_cast<std::uint8_t>(group >> 8);
            out[2] = static_cast<std::uint8_t>(group);
            out += 3;
            group = 0;
            collected = 0;
        }
    }
    // 2 leftover characters carry one byte, 3 carry two; a lone one carries none.
    if (collected == 2) {
        *out++ = static_cast<std::uint8_t>(group >> 4);
    } else if (collected == 3) {
        *out++ = static_cast<std::uint8_t>(group >> 10);
        *out++ = static_cast<std::uint8_t>(group >> 2);
    }
    return static_cast<std::size_t>(out - start);
}

std::string hexDigest(const EVP_MD* md, std::span<const std::uint8_t> data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, md, nullptr) != 1) return "";
    return platform::lowercaseHex(std::span<const std::uint8_t>(digest, size));
}

}  // namespace

char* newBase64Encode(const void* buffer, std::size_t length, bool separateLines, std::size_t* outputLength) {
    if (length > (SIZE_MAX - 4) / 2) return nullptr;  // the size would not fit
    const std::size_t characters = encodedLength(length, separateLines);
    char* out = static_cast<char*>(std::malloc(characters + 1));
    if (!out) return nullptr;
    encodeInto(static_cast<const std::uint8_t*>(buffer), length, separateLines, out);
    out[characters] = '\0';
    if (outputLength) *outputLength = characters;
    return out;
}

void* newBase64Decode(const char* inputBuffer, std::size_t length, std::size_t* outputLength) {
    if (length == SIZE_MAX) length = inputBuffer ? std::strlen(inputBuffer) : 0;
    if (length > SIZE_MAX - 3) return nullptr;
    auto* out = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(1, (length + 3) / 4 * 3)));
    if (!out) return nullptr;
    const std::size_t produced = inputBuffer ? decodeInto(inputBuffer, length, out) : 0;
    if (outputLength) *outputLength = produced;
    return out;
}

namespace Base64 {

NRVData dataFromBase64String(std::optional<std::string_view> string) {
    if (NSStringExtensions::isNilOrWhiteSpace(string)) return {};
    for (char c : *string)
        if (static_cast<unsigned char>(c) >= 0x80) return {};  // no ASCII form
    NRVData data((string->size() + 3) / 4 * 3);
    data.resize(decodeInto(string->data(), string->size(), data.data()));
    return data;
}

std::string base64EncodedString(std::span<const std::uint8_t> data) { return encode(data, true); }

std::string base64EncodedStringWithoutLineBreaks(std::span<const std::uint8_t> data) { return encode(data, false); }

std::string sha1Hash(std::span<const std::uint8_t> data) { return hexDigest(EVP_sha1(), data); }

std::string sha256Hash(std::span<const std::uint8_t> data) { return hexDigest(EVP_sha256(), data); }

}  // namespace Base64
