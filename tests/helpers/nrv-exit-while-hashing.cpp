// Test helper: a thread hashes without pause while the main thread leaves
// through exit(), which runs the exit handlers. Exits 0 when the exit went
// through; a crash ends it by its signal.
//   nrv-exit-while-hashing
#include <openssl/evp.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/crypto/OpenSSLState.h"

int main() {
    if (!platform::crypto::detail::gStateKeptAtExit) return 2;
    std::atomic<bool> hashed{false};
    std::thread([&hashed] {
        const unsigned char data[64] = {};
        for (;;) {
            EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            if (sha256) EVP_Digest(data, sizeof data, digest, &length, sha256, nullptr);
            EVP_MD_free(sha256);
            hashed.store(true);
        }
    }).detach();
    while (!hashed.load()) std::this_thread::yield();
    std::exit(0);
}
