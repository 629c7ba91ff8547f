#include "settings-client/SPACipher.h"

#include <array>
#include <cstring>
#include <vector>

const std::uint8_t SPAKey[8] = {'M', 'Z', '4', '2', 'Q', 'W', 'K', 'P'};

namespace {

constexpr std::uint8_t kSelection[32] = {
    5, 1, 6, 4,  7, 2, 1, 3,  6, 3, 0, 7,  0, 4, 2, 5,
    4, 6, 7, 1,  2, 7, 5, 0,  3, 5, 4, 2,  1, 0, 3, 6,
};

using SBoxes = std::array<std::array<std::uint8_t, 256>, 4>;

// Four fixed permutations, shuffled from the identity by a fixed xorshift
// sequence per row. Texts enciphered elsewhere only read back with the same
// tables, so neither the seeds nor the shuffle may ever change.
constexpr SBoxes makeSBoxes() {
    SBoxes boxes{};
    constexpr std::uint32_t seeds[4] = {0x9E3779B9u, 0x7F4A7C15u, 0x85EBCA6Bu, 0xC2B2AE35u};
    for (int r = 0; r < 4; ++r) {
        for (int i = 0; i < 256; ++i) boxes[r][i] = static_cast<std::uint8_t>(i);
        std::uint32_t x = seeds[r];
        for (int i = 255; i > 0; --i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            const int j = static_cast<int>(x % static_cast<std::uint32_t>(i + 1));
            const std::uint8_t t = boxes[r][i];
            boxes[r][i] = boxes[r][j];
            boxes[r][j] = t;
        }
    }
    return boxes;
}

constexpr SBoxes kSBoxes = makeSBoxes();

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct InverseTable {
    std::uint8_t values[128]{};
    constexpr InverseTable() {
        for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    }
};

// Built at compile time: no first-use flag, nothing for two threads to race on.
constexpr InverseTable kInverse;

std::size_t paddedLength(std::size_t units) { return (2 * units + 7) / 8 * 8; }

void cryptBlocks(std::uint8_t* area, std::size_t length, int direction) {
    spa_context context;
    spa_init(&context, SPAKey);
    for (std::size_t offset = 0; offset < length; offset += 8) {
        std::memcpy(context.block, area + offset, 8);
        spa_crypt(&context, direction);
        std::memcpy(area + offset, context.block, 8);
    }
    spa_sanitise(&context);
}

bool appendUTF8(std::u16string& out, const std::string& text) {
    std::size_t i = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    while (i < n) {
        std::uint32_t c = s[i];
        std::size_t extra = 0;
        std::uint32_t min = 0;
        if (c < 0x80) {
        } else if ((c & 0xE0) == 0xC0) {
            c &= 0x1F; extra = 1; min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            c &= 0x0F; extra = 2; min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            c &= 0x07; extra = 3; min = 0x10000;
        } else {
            return false;
        }
        if (n - i - 1 < extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            c = (c << 6) | (s[i + k] & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return true;
}

void putUTF8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

const std::uint8_t* spa_sbox(int row) { return kSBoxes[static_cast<std::size_t>(row & 3)].data(); }

void spa_init(spa_context* context, const std::uint8_t key[8]) {
    spa_setk(context, key);
    std::memset(context->chain, 0, sizeof context->chain);
}

void spa_setk(spa_context* context, const std::uint8_t key[8]) {
    for (int j = 0; j < 8; ++j)
        for (int r = 0; r < 4; ++r) context->keys[r][j] = key[kSelection[4 * j + r]];
}

spa_context* spa_crypt(spa_context* context, int direction) {
    std::uint8_t left[4], right[4];
    std::memcpy(left, context->block, 4);
    std::memcpy(right, context->block + 4, 4);
    for (int i = 0; i < 8; ++i) {
        std::uint8_t f[4] = {0, 0, 0, 0};
        if (direction == 0 || direction == 1) {
            const int j = direction == 0 ? i : 7 - i;
            const std::uint8_t a = kSBoxes[0][right[0] ^ context->keys[0][j]];
            const std::uint8_t b = kSBoxes[1][right[1] ^ context->keys[1][j]];
            const std::uint8_t c = kSBoxes[2][right[2] ^ context->keys[2][j]];
            const std::uint8_t d = kSBoxes[3][right[3] ^ context->keys[3][j]];
            f[0] = static_cast<std::uint8_t>((d & 0xF0) | (c & 0x0F));
            f[1] = static_cast<std::uint8_t>((a & 0xF0) | (d & 0x0F));
            f[2] = static_cast<std::uint8_t>((b & 0xF0) | (a & 0x0F));
            f[3] = static_cast<std::uint8_t>((c & 0xF0) | (b & 0x0F));
        }
        std::uint8_t next[4];
        for (int k = 0; k < 4; ++k) next[k] = left[k] ^ f[k];
        std::memcpy(left, right, 4);
        std::memcpy(right, next, 4);
    }
    std::memcpy(context->block, right, 4);
    std::memcpy(context->block + 4, left, 4);
    return context;
}

void spa_cbcenc(spa_context* context, std::uint8_t* block) {
    if (!block) {
        std::memset(context->chain, 0, sizeof context->chain);
        return;
    }
    for (int k = 0; k < 8; ++k) context->block[k] = block[k] ^ context->chain[k];
    spa_crypt(context, 0);
    std::memcpy(block, context->block, 8);
    std::memcpy(context->chain, context->block, 8);
}

void spa_cbcdec(spa_context* context, std::uint8_t* block) {
    if (!block) {
        std::memset(context->chain, 0, sizeof context->chain);
        return;
    }
    std::uint8_t kept[8];
    std::memcpy(kept, block, 8);
    std::memcpy(context->block, block, 8);
    spa_crypt(context, 1);
    for (int k = 0; k < 8; ++k) block[k] = context->block[k] ^ context->chain[k];
    std::memcpy(context->chain, kept, 8);
}

int spa_isweak(const std::uint8_t[8]) { return 0; }

void spa_sanitise(spa_context* context) {
    // volatile so the wipe of a context about to die is not optimised away.
    volatile std::uint8_t* bytes = reinterpret_cast<volatile std::uint8_t*>(context);
    for (std::size_t i = 0; i < sizeof *context; ++i) bytes[i] = 0;
    static const std::uint8_t zeroKey[8] = {};
    spa_setk(context, zeroKey);
    std::memset(context->chain, 0, sizeof context->chain);
}

std::size_t encode_base64(const std::uint8_t* input, char* output, std::size_t length) {
    if (length == 0) return 0;
    std::size_t o = 0;
    for (std::size_t i = 0; i < length; i += 3) {
        const std::uint32_t b0 = input[i];
        const std::uint32_t b1 = i + 1 < length ? input[i + 1] : 0;
        const std::uint32_t b2 = i + 2 < length ? input[i + 2] : 0;
        const std::uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        output[o++] = kAlphabet[(v >> 18) & 63];
        output[o++] = kAlphabet[(v >> 12) & 63];
        output[o++] = i + 1 < length ? kAlphabet[(v >> 6) & 63] : '=';
        output[o++] = i + 2 < length ? kAlphabet[v & 63] : '=';
    }
    output[o] = '\0';
    return o;
}

std::size_t decode_base64(const char* input, std::uint8_t* output, std::size_t length) {
    const std::size_t groups = length / 4;
    if (length == 0) return 0;
    std::size_t o = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        // The inverse table covers the 7-bit range only; bytes above it count as 0.
        const auto value = [&](std::size_t k) -> unsigned {
            const auto c = static_cast<unsigned char>(input[4 * g + k]);
            return c < 128 ? kInverse.values[c] : 0;
        };
        const unsigned a = value(0), b = value(1), c = value(2), d = value(3);
        output[o++] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
        output[o++] = static_cast<std::uint8_t>((b << 4) | (c >> 2));
        output[o++] = static_cast<std::uint8_t>((c << 6) + d);
    }
    output[o] = 0;
    return o;
}

std::optional<std::string> encryptString(const std::string& text) {
    std::u16string units;
    if (!appendUTF8(units, text) || units.size() > 0xFFFF) return std::nullopt;
    const std::size_t n = units.size();
    const std::size_t p = paddedLength(n);
    std::vector<std::uint8_t> frame(2 + p, 0);
    frame[0] = static_cast<std::uint8_t>(n >> 8);
    frame[1] = static_cast<std::uint8_t>(n & 0xFF);
    for (std::size_t k = 0; k < n; ++k) {
        frame[2 + 2 * k] = static_cast<std::uint8_t>(units[k] >> 8);
        frame[3 + 2 * k] = static_cast<std::uint8_t>(units[k] & 0xFF);
    }
    cryptBlocks(frame.data() + 2, p, 0);
    std::string out(4 * ((frame.size() + 2) / 3) + 1, '\0');
    out.resize(encode_base64(frame.data(), out.data(), frame.size()));
    return out;
}

std::string decryptString(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::string();
    const std::size_t length = text->size();
    std::vector<std::uint8_t> decoded(3 * (length / 4) + 1, 0);
    const std::size_t got = decode_base64(text->data(), decoded.data(), length);
    if (got < 2) return std::string();
    const std::size_t n = (std::size_t{decoded[0]} << 8) | decoded[1];
    const std::size_t p = paddedLength(n);
    // The frame must lie within the bytes actually decoded, not merely within
    // the text's length.
    if (2 + p > got) return std::string();
    cryptBlocks(decoded.data() + 2, p, 1);
    std::string out;
    out.reserve(2 * n);
    for (std::size_t k = 0; k < n; ++k) {
        std::uint32_t u = (std::uint32_t{decoded[2 + 2 * k]} << 8) | decoded[3 + 2 * k];
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < n) {
            const std::uint32_t low = (std::uint32_t{decoded[4 + 2 * k]} << 8) | decoded[5 + 2 * k];
            if (low >= 0xDC00 && low <= 0xDFFF) {
                putUTF8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++k;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        putUTF8(out, u);
    }
    std::fill(decoded.begin(), decoded.end(), 0);
    return out;
}
