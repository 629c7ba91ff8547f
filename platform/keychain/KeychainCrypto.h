// The keychain's cryptography: key derivation from the password, AES-256-GCM
// sealing, HMAC-SHA256 and SHA-256. Not part of the layer's interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/keychain/SecureBytes.h"

namespace platform::keychain::detail {

constexpr std::size_t kSaltLength = 16;
constexpr std::size_t kIvLength = 12;
constexpr std::size_t kTagLength = 16;
constexpr std::size_t kKeyLength = 32;
constexpr std::size_t kDigestLength = 32;

// PBKDF2-HMAC-SHA256 of the password over a kSaltLength salt: the key that
// wraps the master key.
std::optional<SecureBytes> deriveKey(std::string_view password, const std::uint8_t* salt, std::uint32_t iterations);
bool randomBytes(std::uint8_t* out, std::size_t n);
// AES-256-GCM under a fresh random kIvLength iv; the tag is kTagLength bytes.
bool sealGCM(const SecureBytes& key, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plain,
             std::uint8_t* iv, std::vector<std::uint8_t>* cipher, std::uint8_t* tag);
// false when the tag does not match the key, the aad and the cipher text.
bool openGCM(const SecureBytes& key, std::span<const std::uint8_t> aad, const std::uint8_t* iv,
             std::span<const std::uint8_t> cipher, const std::uint8_t* tag, SecureBytes* plain);
// Both write kDigestLength bytes.
void hmacSHA256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data, std::uint8_t* out);
void sha256Digest(std::span<const std::uint8_t> data, std::uint8_t* out);
// Separate keys for the file's tag and the password check, so that neither
// value says anything about the master key itself.
SecureBytes subkey(const SecureBytes& master, std::string_view purpose);

}  // namespace platform::keychain::detail
