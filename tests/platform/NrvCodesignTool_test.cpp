// The signing tool as the build and the tests run it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "platform/codesign/CodeSignature.h"
#include "platform/value/HexString.h"
#include "support/Signing.h"
#include "support/TestSupport.h"

namespace cs = platform::codesign;
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

// By default verify trusts only the policy's anchors and holds the file to
// its own designated requirement; --integrity-only is the one way to accept
// any authority.
TEST(NrvCodesignTool, VerifyTrustsOnlyTheAnchorsUnlessToldOtherwise) {
    testsupport::TempDir dir;
    std::string why;
    auto lookalike = sig::lookalikeOptions(dir.path(), "com.nerova.tool-test", &why);
    ASSERT_TRUE(lookalike) << why;
    const std::string team = sig::buildTeamIdentifier();

    struct Case {
        const char* name;
        std::function<bool(const std::string&)> sign;
        int byDefault;
        const char* message;  // in the refusal by default
        int integrityOnly;
    } cases[] = {
        {"maker", [](const std::string& f) { return cs::signFile(f, sig::makerOptions("com.nerova.tool-test")); }, 0,
         "", 0},
        {"self-made authority with the maker's names", [&](const std::string& f) { return cs::signFile(f, *lookalike); },
         1, "does not lead to a trusted anchor", 0},
        {"designated requirement the file fails",
         [](const std::string& f) {
             auto o = sig::makerOptions("com.nerova.tool-test");
             o.designatedRequirement = "identifier \"com.nerova.someone-else\" and anchor apple generic";
             return cs::signFile(f, o);
         },
         1, "does not satisfy its designated requirement", 0},
        {"ad hoc",
         [](const std::string& f) {
             cs::SignOptions o;
             o.identifier = "com.nerova.tool-test";
             o.adhoc = true;
             return cs::signFile(f, o);
         },
         1, "ad hoc signature", 0},
        {"changed after signing",
         [](const std::string& f) {
             bool ok = cs::signFile(f, sig::makerOptions("com.nerova.tool-test"));
             std::filesystem::resize_file(f, std::filesystem::file_size(f) + 1);
             return ok;
         },
         1, "does not match its signature", 1},
    };
    for (const auto& c : cases) {
        testsupport::TempDir place;
        const std::string file = place / "program";
        sig::placeTestee(file);
        ASSERT_TRUE(c.sign(file)) << c.name;
        auto r = runProgram({kTool, "verify", "--", file});
        EXPECT_EQ(r.status, c.byDefault) << c.name << ": " << r.err;
        if (c.byDefault != 0) {
            EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
            EXPECT_EQ(r.out.find("valid on disk"), std::string::npos) << c.name;
        }
        r = runProgram({kTool, "verify", "--integrity-only", "--", file});
        EXPECT_EQ(r.status, c.integrityOnly) << c.name << " with --integrity-only: " << r.err;
        if (c.integrityOnly == 0) {
            EXPECT_NE(r.out.find("integrity only"), std::string::npos) << r.out;
        }
    }
    // An explicit requirement still binds with --integrity-only.
    const std::string file = dir / "other";
    sig::placeTestee(file);
    ASSERT_TRUE(cs::signFile(file, *lookalike));
    EXPECT_EQ(runProgram({kTool, "verify", "--integrity-only", "--requirement", "anchor apple generic", "--", file}).status, 1);
    EXPECT_EQ(runProgram({kTool, "sign", "--integrity-only", "--identifier", "x", "--adhoc", "--", file}).status, 2);
}

}  // namespace
