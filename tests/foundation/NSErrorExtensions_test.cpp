#include "foundation/NSErrorExtensions.h"

#include <gtest/gtest.h>

using namespace NSErrorExtensions;

namespace {

// An error with `depth` underlying errors below it, numbered by code.
NRVError chain(int depth) {
    std::shared_ptr<const NRVError> below;
    for (int code = depth; code >= 1; --code) {
        auto e = std::make_shared<NRVError>("com.test", code, "failure " + std::to_string(code));
        e->underlyingError = below;
        below = e;
    }
    NRVError top("com.test.top", 0, "top");
    top.underlyingError = below;
    return top;
}

}  // namespace

TEST(NSErrorExtensions, DescribesTheUnderlyingChain) {
    EXPECT_EQ(getNSUnderlyingErrorKeys(chain(0)), "[No NSUnderlyingErrorKeys available]");

    auto inner = std::make_shared<NRVError>("NSPOSIXErrorDomain", 2, "No such file");
    inner->localizedFailureReason = "missing";
    NRVError top("outer", 1, "outer failed");
    top.underlyingError = inner;
    EXPECT_EQ(getNSUnderlyingErrorKeys(top),
              "[NSUnderlyingErrorKey 1: domain: NSPOSIXErrorDomain, code: 2, description: No such file, "
              "reason: missing, options: n/a] ");

    const std::string twelve = getNSUnderlyingErrorKeys(chain(12));
    EXPECT_NE(twelve.find("NSUnderlyingErrorKey 10: domain: com.test, code: 10,"), std::string::npos);
    EXPECT_EQ(twelve.find("NSUnderlyingErrorKey 11"), std::string::npos);
    EXPECT_EQ(twelve.find("top"), std::string::npos);  // the receiver itself is not described

    const std::string two = getNSUnderlyingErrorKeys(chain(12), 2);
    EXPECT_NE(two.find("NSUnderlyingErrorKey 2:"), std::string::npos);
    EXPECT_EQ(two.find("NSUnderlyingErrorKey 3:"), std::string::npos);
    EXPECT_EQ(getNSUnderlyingErrorKeys(chain(3), 0), "[No NSUnderlyingErrorKeys available]");
}

TEST(NSErrorExtensions, ErrorWithoutDescriptionGetsTheGenericSentence) {
    NRVError top("outer", 1);
    top.underlyingError = std::make_shared<NRVError>("inner", 7);
    EXPECT_NE(getNSUnderlyingErrorKeys(top).find("description: The operation couldn\u2019t be completed. (inner error 7.)"),
              std::string::npos);
}
