// An asymmetric key (RSA or elliptic curve), public or private: what the
// keychain services hand around where the platform has a key reference.
// Immutable once made; may be shared by threads.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>

#include <openssl/evp.h>

#include "platform/crypto/OpenSSLPtr.h"
#include "platform/keychain/SecureBytes.h"
#include "platform/value/NRVValue.h"

class NRVKey;
using NRVKeyRef = std::shared_ptr<const NRVKey>;

class NRVKey {
public:
    enum class KeyClass { Public = 0, Private = 1 };
    // Key types by the platform's numbers for them.
    static constexpr int kKeyTypeRSA = 42;
    static constexpr int kKeyTypeEC = 73;

    // Takes over one reference of `key`.
    static NRVKeyRef adopt(EVP_PKEY* key, KeyClass keyClass);
    // Generates a fresh key; nullptr when the type or size is refused.
    static NRVKeyRef generate(int keyType, int bits);
    // From the DER the keychain stores: SubjectPublicKeyInfo for public
    // keys, the traditional private key form for private keys.
    static NRVKeyRef fromData(std::span<const std::uint8_t> der, KeyClass keyClass);

    EVP_PKEY* pkey() const { return key_.get(); }
    KeyClass keyClass() const { return keyClass_; }
    int keyType() const;
    int bits() const;
    // The public half (itself for a public key).
    NRVKeyRef publicKey() const;
    // The stored form (see fromData); for a private key it is the secret itself.
    platform::keychain::SecureBytes data() const;
    NRVData publicKeyData() const;  // SubjectPublicKeyInfo DER
    // SHA-1 of the public key bits, the key's application label.
    NRVData publicKeyHash() const;
    std::string publicKeyPEM() const;

private:
    NRVKey(EVP_PKEY* key, KeyClass keyClass) : key_(key), keyClass_(keyClass) {}
    platform::crypto::OpenSSLPtr<EVP_PKEY> key_;
    KeyClass keyClass_;
};

