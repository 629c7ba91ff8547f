#include "platform/keychain/SecureBytes.h"

#include "platform/crypto/OpenSSLState.h"

#include <openssl/crypto.h>

namespace platform::keychain {

void secureWipe(void* data, std::size_t length) {
    if (data && length) OPENSSL_cleanse(data, length);
}

}  // namespace platform::keychain
