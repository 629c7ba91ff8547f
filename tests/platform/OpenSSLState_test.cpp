#include "platform/crypto/OpenSSLState.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace {

// One child process: a thread hashes without pause while the main thread
// leaves through exit(), which runs the exit handlers. The status the child
// ended with.
int exitWhileAThreadHashes() {
    const pid_t child = fork();
    if (child == 0) {
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
    int status = -1;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return status;
}

}  // namespace

// A thread still using the library while the process exits finds its state
// in place: the exit neither crashes nor reports an error.
TEST(OpenSSLState, AThreadStillHashingDoesNotCrashTheExit) {
    ASSERT_TRUE(platform::crypto::detail::gStateKeptAtExit);
    for (int run = 0; run < 20; ++run) {
        const int status = exitWhileAThreadHashes();
        ASSERT_TRUE(WIFEXITED(status)) << "run " << run << ": status " << status;
        ASSERT_EQ(WEXITSTATUS(status), 0) << "run " << run;
    }
}
