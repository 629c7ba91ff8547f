#include "platform/keychain/KeychainCrypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "platform/crypto/OpenSSLPtr.h"

namespace platform::keychain::detail {

std::optional<SecureBytes> deriveKey(std::string_view password, const std::uint8_t* salt, std::uint32_t iterations) {
    SecureBytes key(kKeyLength);
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, kSaltLength,
                          static_cast<int>(iterations), EVP_sha256(), kKeyLength, key.data()) != 1)
        return std::nullopt;
    return key;
}

bool randomBytes(std::uint8_t* out, std::size_t n) { return RAND_bytes(out, static_cast<int>(n)) == 1; }

bool sealGCM(const SecureBytes& key, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plain,
             std::uint8_t* iv, std::vector<std::uint8_t>* cipher, std::uint8_t* tag) {
    if (!randomBytes(iv, kIvLength)) return false;
    crypto::OpenSSLPtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    cipher->assign(plain.size(), 0);
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), iv) != 1) return false;
    if (EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1) return false;
    if (!plain.empty() &&
        EVP_EncryptUpdate(ctx.get(), cipher->data(), &len, plain.data(), static_cast<int>(plain.size())) != 1)
        return false;
    if (EVP_EncryptFinal_ex(ctx.get(), cipher->data() + cipher->size(), &len) != 1) return false;
    return EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagLength, tag) == 1;
}

bool openGCM(const SecureBytes& key, std::span<const std::uint8_t> aad, const std::uint8_t* iv,
             std::span<const std::uint8_t> cipher, const std::uint8_t* tag, SecureBytes* plain) {
    crypto::OpenSSLPtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    SecureBytes out(cipher.size());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), iv) != 1) return false;
    if (EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1) return false;
    if (!cipher.empty() &&
        EVP_DecryptUpdate(ctx.get(), out.data(), &len, cipher.data(), static_cast<int>(cipher.size())) != 1)
        return false;
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagLength, const_cast<std::uint8_t*>(tag)) != 1)
        return false;
    if (EVP_DecryptFinal_ex(ctx.get(), out.data() + out.size(), &len) != 1) return false;
    *plain = std::move(out);
    return true;
}

void hmacSHA256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data, std::uint8_t* out) {
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out, &len);
}

void sha256Digest(std::span<const std::uint8_t> data, std::uint8_t* out) {
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, EVP_sha256(), nullptr);
}

SecureBytes subkey(const SecureBytes& master, std::string_view purpose) {
    SecureBytes out(kDigestLength);
    hmacSHA256(master.span(), {reinterpret_cast<const std::uint8_t*>(purpose.data()), purpose.size()}, out.data());
    return out;
}

}  // namespace platform::keychain::detail
