#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"

// A thread still using the library while the process exits finds its state
// in place: the exit neither crashes nor reports an error. Each run is a
// program of its own, so that only its own exit handlers run.
TEST(OpenSSLState, AThreadStillHashingDoesNotCrashTheExit) {
    const std::string helper = std::string(NRV_BIN_DIR) + "/nrv-exit-while-hashing";
    for (int run = 0; run < 20; ++run) {
        const auto result = testsupport::runProgram({helper});
        ASSERT_EQ(result.status, 0) << "run " << run << ": " << result.out << result.err;
    }
}
