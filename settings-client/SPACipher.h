// The small 8-byte block cipher that protects some texts of the settings
// store (the update account names among them), the string frame around it
// and its own Base64 codec. Plain functions over plain buffers: any thread
// may call them, each call works on its own context and buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct spa_context {
    std::uint8_t chain[8];     // chaining value, used only by the CBC helpers
    std::uint8_t block[8];     // the block the transform works on in place
    std::uint8_t keys[4][8];   // row r, byte j: key byte round j feeds into S-box r
};

// The key built into the programs: the 8 characters, no terminator.
extern const std::uint8_t SPAKey[8];

void spa_init(spa_context* context, const std::uint8_t key[8]);
void spa_setk(spa_context* context, const std::uint8_t key[8]);
// direction 0 enciphers, 1 deciphers.
spa_context* spa_crypt(spa_context* context, int direction);
// A null block only resets the chaining value.
void spa_cbcenc(spa_context* context, std::uint8_t* block);
void spa_cbcdec(spa_context* context, std::uint8_t* block);
int spa_isweak(const std::uint8_t key[8]);
void spa_sanitise(spa_context* context);

// The S-box of a row (0-3): a permutation of the byte values.
const std::uint8_t* spa_sbox(int row);

// Standard Base64 with "=" padding and no line breaks, then a zero byte.
// output holds 4 * ceil(length / 3) + 1 bytes. Answers the characters written.
std::size_t encode_base64(const std::uint8_t* input, char* output, std::size_t length);
// Every full group of four characters gives three bytes, then a zero byte;
// characters after the last full group are ignored. output holds
// 3 * (length / 4) + 1 bytes. Every character outside the alphabet (the "="
// padding, and bytes of 128 and above, which values written by other
// programs may carry) counts as 0. Answers 3 * (length / 4); nothing is
// written for length 0.
std::size_t decode_base64(const char* input, std::uint8_t* output, std::size_t length);

// The Base64 text of the frame: the count of UTF-16 units (big-endian, in
// clear), then the units, big-endian, enciphered in independent 8-byte
// blocks. nullopt for a text that is not UTF-8 or that has more units than
// the 16-bit count can carry.
std::optional<std::string> encryptString(const std::string& text);

// The plain text of such a frame, or the empty string on any failure: nil or
// empty input, or a text too short for the units its count claims. Units
// that do not form UTF-16 (a wrong key, damaged text) become U+FFFD. An
// enciphered empty text also gives the empty string, so a caller cannot tell
// it from a failure and treats both as no value.
std::string decryptString(const std::optional<std::string>& text);
