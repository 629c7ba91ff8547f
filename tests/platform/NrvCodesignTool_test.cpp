// The signing tool as the build and the tests run it.
#include <gtest/gtest.h>

#include "platform/codesign/CodeSignature.h"
#include "platform/value/HexString.h"
#include "support/Signing.h"
#include "support/TestSupport.h"

namespace sig = testsupport::signing;
using testsupport::runProgram;

namespace {

const std::string kTool = std::string(NRV_BIN_DIR) + "/nrv-codesign";

TEST(NrvCodesignTool, SignVerifyDisplayAndExitStatuses) {
    testsupport::TempDir dir;
    const std::string file = dir / "-program";  // a name that reads like an option
    sig::placeTestee(file);
    const std::string team = sig::buildTeamIdentifier();

    auto r = runProgram({kTool, "display", "--", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("code object is not signed at all"), std::string::npos) << r.out;

    r = runProgram({kTool, "sign", "--identifier", "com.nerova.tool-test", "--hardened", "--key",
                    sig::authorityFile("leaf.key"), "--cert", sig::authorityFile("leaf.pem"), "--cert",
                    sig::authorityFile("intermediate.pem"), "--", file});
    ASSERT_EQ(r.status, 0) << r.err;

    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"verify", "--", file}, 0},
        {{"verify", "--requirement", "anchor apple generic and certificate leaf[subject.OU] = \"" + team + "\"", "--", file}, 0},
        {{"verify", "--requirement", "certificate leaf[subject.OU] = \"SOMEONE\"", "--", file}, 1},
        {{"verify", "--requirement", "anchor apple or anchor apple generic", "--", file}, 2},
        {{"verify"}, 2},
        {{"frobnicate", "--", file}, 2},
        {{"sign", "--identifier", "x", "--", file}, 2},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{kTool};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(runProgram(argv).status, c.status) << c.args.front() << " " << c.args.size();
    }

    r = runProgram({kTool, "display", "--", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Identifier=com.nerova.tool-test\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TeamIdentifier=" + team + "\n"), std::string::npos);
    EXPECT_NE(r.out.find("Flags=0x10000 runtime\n"), std::string::npos);
    EXPECT_NE(r.out.find("Validity=valid\n"), std::string::npos);
    auto hash = platform::codesign::sha256OfFile(file);
    ASSERT_TRUE(hash);
    EXPECT_NE(r.out.find("CDHash=" + platform::lowercaseHex(*hash) + "\n"), std::string::npos) << r.out;
}

}  // namespace
