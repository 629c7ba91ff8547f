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

std::optional<SecureBytes> deriveKey(std::string_view password, const std::uint8_t* salt, std::uint32_t iterations);
bool randomBytes(std::uint8_t* out, std::size_t n);
bool sealGCM(const SecureBytes& key, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plain,
             std::uint8_t* iv, std::vector<std::uint8_t>* cipher, std::uint8_t* tag);
bool openGCM(const SecureBytes& key, std::span<const std::uint8_t> aad, const std::uint8_t* iv,
             std::span<const std::uint8_t> cipher, const std::uint8_t* tag, SecureBytes* plain);
void hmacSHA256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data, std::uint8_t* out);
void sha256Digest(std::span<const std::uint8_t> data, std::uint8_t* out);
SecureBytes subkey(const SecureBytes& master, std::string_view purpose);

}  // namespace platform::keychain::detail
