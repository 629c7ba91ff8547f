// SHA-256 (FIPS 180-4), computed incrementally. The base library's own code,
// so that the diagnostics digest needs no crypto library.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { SHA256_DIGEST_SIZE = 32, SHA256_BLOCK_SIZE = 64 };

typedef struct {
    uint64_t tot_len;                          // bytes already consumed in whole blocks
    uint32_t len;                              // bytes waiting in block (0-63 between calls)
    unsigned char block[2 * SHA256_BLOCK_SIZE];  // room for the second block the padding may need
    uint32_t h[8];                             // running hash state
} sha256_ctx;

extern const uint32_t sha256_h0[8];  // H(0)
extern const uint32_t sha256_k[64];  // K

// One call takes at most 4 GiB - 1 bytes; a message fed in pieces may be of
// any length (the byte and bit counts are 64-bit). A context belongs to one caller at a time
// and must be initialised again after sha256_final.
void sha256_init(sha256_ctx* ctx);
void sha256_update(sha256_ctx* ctx, const unsigned char* message, uint32_t len);
void sha256_final(sha256_ctx* ctx, unsigned char* digest);
void sha256(const unsigned char* message, uint32_t len, unsigned char* digest);

// The compression function over block_nb consecutive 64-byte blocks.
void sha256_transf(sha256_ctx* ctx, const unsigned char* message, uint32_t block_nb);

#ifdef __cplusplus
}
#endif
