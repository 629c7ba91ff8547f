#include "ipc/keychain/NRVKey.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "platform/crypto/OpenSSLPtr.h"
#include "platform/keychain/SecureBytes.h"

NRVKeyRef NRVKey::adopt(EVP_PKEY* key, KeyClass keyClass) {
    if (!key) return nullptr;
    return NRVKeyRef(new NRVKey(key, keyClass));
}

NRVKeyRef NRVKey::generate(int keyType, int bits) {
    EVP_PKEY* key = nullptr;
    if (keyType == kKeyTypeRSA) {
        if (bits < 1024 || bits > 16384) return nullptr;
        key = EVP_RSA_gen(static_cast<unsigned>(bits));
    } else if (keyType == kKeyTypeEC) {
        const char* curve = bits == 256 ? "P-256" : bits == 384 ? "P-384" : bits == 521 ? "P-521" : nullptr;
        if (!curve) return nullptr;
        key = EVP_EC_gen(curve);
    }
    return adopt(key, KeyClass::Private);
}

NRVKeyRef NRVKey::fromData(std::span<const std::uint8_t> der, KeyClass keyClass) {
    const unsigned char* cursor = der.data();
    EVP_PKEY* key = keyClass == KeyClass::Public ? d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size()))
                                                 : d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(der.size()));
    return adopt(key, keyClass);
}

int NRVKey::keyType() const { return EVP_PKEY_base_id(key_.get()) == EVP_PKEY_EC ? kKeyTypeEC : kKeyTypeRSA; }
int NRVKey::bits() const { return EVP_PKEY_get_bits(key_.get()); }

NRVData NRVKey::publicKeyData() const {
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(key_.get(), &der);
    NRVData out;
    if (n > 0) out.assign(der, der + n);
    OPENSSL_free(der);
    return out;
}

NRVKeyRef NRVKey::publicKey() const {
    if (keyClass_ == KeyClass::Public) {
        EVP_PKEY_up_ref(key_.get());
        return adopt(key_.get(), KeyClass::Public);
    }
    return fromData(publicKeyData(), KeyClass::Public);
}

platform::keychain::SecureBytes NRVKey::data() const {
    if (keyClass_ == KeyClass::Public) {
        NRVData spki = publicKeyData();
        return platform::keychain::SecureBytes(std::span<const std::uint8_t>(spki));
    }
    unsigned char* der = nullptr;
    int n = i2d_PrivateKey(key_.get(), &der);
    platform::keychain::SecureBytes out;
    if (n > 0) {
        out = platform::keychain::SecureBytes(std::span<const std::uint8_t>(der, static_cast<std::size_t>(n)));
        platform::keychain::secureWipe(der, static_cast<std::size_t>(n));
    }
    OPENSSL_free(der);
    return out;
}

NRVData NRVKey::publicKeyHash() const {
    // The bits of the SubjectPublicKeyInfo, as a certificate's key digest takes them.
    NRVData spki = publicKeyData();
    const unsigned char* cursor = spki.data();
    platform::crypto::OpenSSLPtr<X509_PUBKEY> pub(d2i_X509_PUBKEY(nullptr, &cursor, static_cast<long>(spki.size())));
    if (!pub) return {};
    const unsigned char* bits = nullptr;
    int length = 0;
    NRVData digest;
    if (X509_PUBKEY_get0_param(nullptr, &bits, &length, nullptr, pub.get()) == 1) {
        digest.resize(SHA_DIGEST_LENGTH);
        SHA1(bits, static_cast<std::size_t>(length), digest.data());
    }
    return digest;
}

std::string NRVKey::publicKeyPEM() const {
    platform::crypto::OpenSSLPtr<BIO> bio(BIO_new(BIO_s_mem()));
    std::string out;
    if (bio && PEM_write_bio_PUBKEY(bio.get(), key_.get()) == 1) {
        char* text = nullptr;
        long n = BIO_get_mem_data(bio.get(), &text);
        out.assign(text, static_cast<std::size_t>(n));
    }
    return out;
}
