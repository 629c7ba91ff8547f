#include "foundation/sha256.h"

#include <cstring>

extern "C" {

const uint32_t sha256_h0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

const uint32_t sha256_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

}  // extern "C"

namespace {

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint32_t ch(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (~x & z); }
inline uint32_t maj(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (x & z) ^ (y & z); }
inline uint32_t bigSigma0(uint32_t x) { return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22); }
inline uint32_t bigSigma1(uint32_t x) { return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25); }
inline uint32_t smallSigma0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
inline uint32_t smallSigma1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }

inline uint32_t loadBigEndian(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void storeBigEndian(uint32_t value, unsigned char* p) {
    p[0] = static_cast<unsigned char>(value >> 24);
    p[1] = static_cast<unsigned char>(value >> 16);
    p[2] = static_cast<unsigned char>(value >> 8);
    p[3] = static_cast<unsigned char>(value);
}

void compress(uint32_t h[8], const unsigned char* block) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = loadBigEndian(block + 4 * t);
    for (int t = 16; t < 64; ++t) w[t] = smallSigma1(w[t - 2]) + w[t - 7] + smallSigma0(w[t - 15]) + w[t - 16];

    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int t = 0; t < 64; ++t) {
        const uint32_t t1 = hh + bigSigma1(e) + ch(e, f, g) + sha256_k[t] + w[t];
        const uint32_t t2 = bigSigma0(a) + maj(a, b, c);
        hh = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += hh;
}

}  // namespace

extern "C" {

void sha256_transf(sha256_ctx* ctx, const unsigned char* message, uint32_t block_nb) {
    for (uint32_t i = 0; i < block_nb; ++i) compress(ctx->h, message + static_cast<std::size_t>(i) * SHA256_BLOCK_SIZE);
}

void sha256_init(sha256_ctx* ctx) {
    std::memcpy(ctx->h, sha256_h0, sizeof ctx->h);
    ctx->len = 0;
    ctx->tot_len = 0;
}

void sha256_update(sha256_ctx* ctx, const unsigned char* message, uint32_t len) {
    if (len == 0) return;
    const uint32_t room = SHA256_BLOCK_SIZE - ctx->len;
    const uint32_t head = len < room ? len : room;
    std::memcpy(ctx->block + ctx->len, message, head);
    if (ctx->len + len < SHA256_BLOCK_SIZE) {
        ctx->len += len;
        return;
    }

    // The waiting block is full: transform it, then whole blocks straight
    // from the caller's memory, and keep the rest.
    const unsigned char* rest = message + head;
    const uint32_t restLen = len - head;
    const uint32_t blocks = restLen / SHA256_BLOCK_SIZE;
    sha256_transf(ctx, ctx->block, 1);
    sha256_transf(ctx, rest, blocks);
    const uint32_t tail = restLen % SHA256_BLOCK_SIZE;
    std::memcpy(ctx->block, rest + static_cast<std::size_t>(blocks) * SHA256_BLOCK_SIZE, tail);
    ctx->len = tail;
    ctx->tot_len += (uint64_t{blocks} + 1) * SHA256_BLOCK_SIZE;
}

void sha256_final(sha256_ctx* ctx, unsigned char* digest) {
    // A second block when the 0x80 byte and the 8-byte length do not fit.
    const uint32_t blocks = ctx->len > SHA256_BLOCK_SIZE - 9 ? 2 : 1;
    const uint32_t paddedLen = blocks * SHA256_BLOCK_SIZE;
    // Counted in 64 bits so that messages of 512 MiB and more still give the
    // standard digest.
    const uint64_t bitCount = (ctx->tot_len + ctx->len) * 8;

    std::memset(ctx->block + ctx->len, 0, paddedLen - ctx->len);
    ctx->block[ctx->len] = 0x80;
    storeBigEndian(static_cast<uint32_t>(bitCount >> 32), ctx->block + paddedLen - 8);
    storeBigEndian(static_cast<uint32_t>(bitCount), ctx->block + paddedLen - 4);
    sha256_transf(ctx, ctx->block, blocks);

    for (int i = 0; i < 8; ++i) storeBigEndian(ctx->h[i], digest + 4 * i);
}

void sha256(const unsigned char* message, uint32_t len, unsigned char* digest) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, message, len);
    sha256_final(&ctx, digest);
}

}  // extern "C"
