// The product keychain toolkit pointed at a second keychain file with a
// password of its own. The operations of QKWKeychain called on
// MDWKeychain::shared() work on this file, except the inner steps that
// QKWKeychain.h lists, which go to the product keychain.
#pragma once

#include <string>

#include "ipc/keychain/QKWKeychain.h"
#include "platform/memory/NoDestructor.h"

class MDWKeychain : public QKWKeychain {
public:
    static MDWKeychain& shared();

    NRVKeychainRef getKeychain() override;
    NRVKeychainRef* getKeychainPtr() override;
    std::string getKeychainFilePath() override;
    std::string getKeychainPassword() override;
    // Salted SHA-256 of a fixed number, the serial number and the first 8
    // characters of the SHA-256 of the keychain path, salted with characters
    // 17 to 24 of that digest: 64 lower-case hexadecimal characters.
    std::string getUniqueId();

private:
    // The one instance is made by its shared accessor and never destroyed.
    friend class platform::NoDestructor<MDWKeychain>;
    MDWKeychain() = default;
    NRVKeychainRef modernWebKeychain_;
};
