#include "ipc/trust/NRVCodeSignValidator.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "ipc/xpc/NRVXPCConnectionAuditToken.h"
#include "platform/log/LogStore.h"
#include "platform/process/ProcessInfo.h"
#include "platform/process/Task.h"
#include "support/Signing.h"
#include "support/TestSupport.h"

namespace cs = platform::codesign;
namespace plog = platform::log;
namespace sig = testsupport::signing;
using testsupport::TempDir;

namespace {

// A private trust policy whose one allowed place is <tmp>/allowed, and a
// capture of the signing log.
class CodeSignValidatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        allowed_ = dir_ / "allowed";
        outside_ = dir_ / "outside";
        std::filesystem::create_directories(allowed_);
        std::filesystem::create_directories(outside_);
        env_ = std::make_unique<testsupport::ScopedEnv>("NRV_CODESIGN_POLICY",
                                                        sig::writePolicy(dir_ / "policy.plist", {allowed_}));
        plog::setSink(capture_);
    }
    void TearDown() override {
        plog::setSink(nullptr);
        for (auto& t : tasks_) {
            t->terminate();
            t->waitUntilExit();
        }
    }

    platform::AuditToken launch(const std::string& path) {
        auto task = std::make_unique<platform::Task>();
        task->launchPath = path;
        EXPECT_TRUE(task->launch()) << path;
        EXPECT_TRUE(sig::waitForExec(task->processIdentifier(), path));
        auto token = platform::process::auditTokenForPid(task->processIdentifier());
        EXPECT_TRUE(token);
        tasks_.push_back(std::move(task));
        return token.value_or(platform::AuditToken{});
    }

    std::vector<std::string> signingErrors() const {
        std::vector<std::string> out;
        for (const auto& r : capture_->records()) {
            if (r.category == "signing" && r.level == plog::Level::Error) out.push_back(r.message);
        }
        return out;
    }
    bool logged(const std::string& message) const {
        for (const auto& r : capture_->records()) {
            if (r.category == "signing" && r.message == message) return true;
        }
        return false;
    }

    TempDir dir_;
    std::string allowed_, outside_;
    std::unique_ptr<testsupport::ScopedEnv> env_;
    std::shared_ptr<plog::CaptureSink> capture_ = std::make_shared<plog::CaptureSink>();
    std::vector<std::unique_ptr<platform::Task>> tasks_;
};

cs::SignOptions withEntitlement(cs::SignOptions o, const std::string& name, bool value) {
    o.entitlements.set(name, NRVValue(value));
    return o;
}

TEST_F(CodeSignValidatorTest, PeersAreJudgedByTheirSignatures) {
    const std::string getTaskAllow = "com.apple.security.get-task-allow";
    cs::SignOptions adhoc;
    adhoc.identifier = "com.nerova.adhoc";
    adhoc.adhoc = true;
    adhoc.hardenedRuntime = true;
    auto notHardened = sig::makerOptions("com.nerova.peer");
    notHardened.hardenedRuntime = false;

    struct Case {
        const char* name;
        bool inAllowedPlace;
        std::function<void(const std::string&)> sign;
        bool maker;
        bool hardened;
        std::string expectedError;  // one of the signing log's error lines
    } cases[] = {
        {"correct", true, [](auto& f) { ASSERT_TRUE(cs::signFile(f, sig::makerOptions("com.nerova.peer"))); }, true, true, ""},
        {"missing signature file", true, [](auto&) {}, false, false,
         "Failed to run SecCodeCheckValidityWithErrors. Error: code object is not signed at all"},
        {"tampered hash", true,
         [](auto& f) {
             ASSERT_TRUE(cs::signFile(f, sig::makerOptions("com.nerova.peer")));
             std::filesystem::resize_file(f, std::filesystem::file_size(f) + 1);
         },
         false, false, "Failed to obtain signing information; status: -67061"},
        {"other team", true, [](auto& f) { ASSERT_TRUE(cs::signFile(f, sig::otherTeamOptions("com.other.peer"))); },
         false, true,
         "Failed to run SecCodeCheckValidityWithErrors. Error: code failed to satisfy specified code requirement(s)"},
        {"not hardened", true, [&](auto& f) { ASSERT_TRUE(cs::signFile(f, notHardened)); }, true, false,
         "Hardened runtime is not set for the connecting process"},
        {"unwanted entitlement", true,
         [&](auto& f) { ASSERT_TRUE(cs::signFile(f, withEntitlement(sig::makerOptions("com.nerova.peer"), getTaskAllow, true))); },
         true, false, "The problematic `com.apple.security.get-task-allow` entitlement is enabled"},
        {"entitlement set to false", true,
         [&](auto& f) { ASSERT_TRUE(cs::signFile(f, withEntitlement(sig::makerOptions("com.nerova.peer"), getTaskAllow, false))); },
         true, true, ""},
        {"library validation disabled", true,
         [&](auto& f) {
             ASSERT_TRUE(cs::signFile(f, withEntitlement(sig::makerOptions("com.nerova.peer"),
                                                         "com.apple.security.cs.disable-library-validation", true)));
         },
         true, false, "The problematic `com.apple.security.cs.disable-library-validation` entitlement is enabled"},
        {"ad hoc", true, [&](auto& f) { ASSERT_TRUE(cs::signFile(f, adhoc)); }, false, true,
         "Failed to run SecCodeCheckValidityWithErrors. Error: code failed to satisfy specified code requirement(s)"},
        {"outside the maker's places", false,
         [](auto& f) { ASSERT_TRUE(cs::signFile(f, sig::makerOptions("com.nerova.peer"))); }, false, true,
         "Nerova executable is not in expected path."},
        {"component identifier outside the maker's places", false,
         [](auto& f) { ASSERT_TRUE(cs::signFile(f, sig::makerOptions("com.nerova.rivovovuvev.eventmonitor"))); }, false,
         true, "Nerova executable is not in expected path."},
        {"installer outside the maker's places", false,
         [](auto& f) { ASSERT_TRUE(cs::signFile(f, sig::makerOptions(NRVCodeSignValidator::kNerovaInstallerIdentifier))); },
         true, true, ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = (c.inAllowedPlace ? allowed_ : outside_) + "/peer" + std::to_string(n++);
        sig::placeTestee(file);
        c.sign(file);
        const platform::AuditToken token = launch(file);
        capture_->clear();
        EXPECT_EQ(NRVCodeSignValidator::isNerovaSignTypeForAuditToken(token), c.maker);
        EXPECT_EQ(NRVCodeSignValidator::areHardenRuntimeEntitlementsValidForAuditToken(token), c.hardened);
        EXPECT_EQ(NRVCodeSignValidator::isNerovaSignTypeForAuditTokenData(NRVXPCConnectionAuditToken::auditTokenData(&token)),
                  c.maker);
        auto errors = signingErrors();
        if (c.expectedError.empty()) {
            EXPECT_TRUE(errors.empty()) << errors.front();
        } else {
            EXPECT_NE(std::find(errors.begin(), errors.end(), c.expectedError), errors.end())
                << (errors.empty() ? "no error logged" : errors.front());
        }
    }
}

TEST_F(CodeSignValidatorTest, HardenedCheckLogsFlagsAndEntitlements) {
    const std::string file = allowed_ + "/peer";
    sig::placeTestee(file);
    ASSERT_TRUE(cs::signFile(file, withEntitlement(sig::makerOptions("com.nerova.peer"), "com.nerova.harmless", true)));
    auto token = launch(file);
    EXPECT_TRUE(NRVCodeSignValidator::areHardenRuntimeEntitlementsValidForAuditToken(token));
    EXPECT_TRUE(logged("The info flags of the connecting process: 65536"));
    EXPECT_TRUE(logged("The entitlements of the connecting process: {com.nerova.harmless : 1}")) ;
}

TEST_F(CodeSignValidatorTest, UntrustworthyTokensAreRefused) {
    const std::string file = allowed_ + "/peer";
    sig::placeTestee(file);
    ASSERT_TRUE(cs::signFile(file, sig::makerOptions("com.nerova.peer")));
    const platform::AuditToken live = launch(file);
    ASSERT_TRUE(NRVCodeSignValidator::isNerovaSignTypeForAuditToken(live));

    auto withPid = [&](std::int32_t pid) {
        return platform::AuditToken::make(live.auditUid(), live.euid(), live.egid(), live.ruid(), live.rgid(), pid,
                                          live.startTime());
    };
    auto reused = platform::AuditToken::make(live.auditUid(), live.euid(), live.egid(), live.ruid(), live.rgid(),
                                             live.pid(), live.startTime() + 1);
    struct Case {
        const char* name;
        platform::AuditToken token;
        std::string expectedError;
    } cases[] = {
        {"zero token", platform::AuditToken{}, "Failed codesign validation: No audit token"},
        {"pid 0", withPid(0), "Failed to get SecCode with the audit token for connection from the process with PID: '0' error: -67068"},
        {"pid 1", withPid(1), "Failed to get SecCode with the audit token for connection from the process with PID: '1' error: -67068"},
        {"start time changed (pid reused)", reused,
         "Failed to get SecCode with the audit token for connection from the process with PID: '" +
             std::to_string(live.pid()) + "' error: -67067"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        capture_->clear();
        EXPECT_FALSE(NRVCodeSignValidator::isNerovaSignTypeForAuditToken(c.token));
        EXPECT_FALSE(NRVCodeSignValidator::areHardenRuntimeEntitlementsValidForAuditToken(c.token));
        auto errors = signingErrors();
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors.front(), c.expectedError);
    }

    capture_->clear();
    EXPECT_FALSE(NRVCodeSignValidator::isNerovaSignTypeForAuditTokenData(NRVData(31, 1)));
    EXPECT_EQ(signingErrors(), std::vector<std::string>{"Failed codesign validation: No audit token"});
    EXPECT_EQ(NRVXPCConnectionAuditToken::auditTokenData(nullptr), NRVData(32, 0));

    // A process that has ended is not trusted by its old token.
    tasks_.front()->terminate();
    tasks_.front()->waitUntilExit();
    EXPECT_FALSE(NRVCodeSignValidator::isNerovaSignTypeForAuditToken(live));
}

TEST_F(CodeSignValidatorTest, RepeatedPeerChecksDoNotHashAgain) {
    const std::string file = allowed_ + "/peer";
    sig::placeTestee(file);
    ASSERT_TRUE(cs::signFile(file, sig::makerOptions("com.nerova.peer")));
    auto token = launch(file);
    ASSERT_TRUE(NRVCodeSignValidator::isNerovaSignTypeForAuditToken(token));
    ASSERT_TRUE(NRVCodeSignValidator::areHardenRuntimeEntitlementsValidForAuditToken(token));
    const auto before = cs::evaluationCount();
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(NRVCodeSignValidator::isNerovaSignTypeForAuditToken(token));
        EXPECT_TRUE(NRVCodeSignValidator::areHardenRuntimeEntitlementsValidForAuditToken(token));
    }
    EXPECT_EQ(cs::evaluationCount(), before);
}

TEST_F(CodeSignValidatorTest, FileSigningInfoByKindOfSignature) {
    cs::SignOptions adhoc;
    adhoc.identifier = "com.nerova.adhoc";
    adhoc.adhoc = true;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> sign;
        bool valid;
        std::int64_t signType;
        std::size_t authorities;
    } cases[] = {
        {"maker", [](auto& f) { ASSERT_TRUE(cs::signFile(f, sig::makerOptions("com.nerova.file"))); }, true, NRVSignTypeNerova, 2},
        {"other developer", [](auto& f) { ASSERT_TRUE(cs::signFile(f, sig::otherTeamOptions("com.other.file"))); }, true,
         NRVSignTypeAppleDeveloper, 2},
        {"ad hoc", [&](auto& f) { ASSERT_TRUE(cs::signFile(f, adhoc)); }, false, NRVSignTypeAdhoc, 0},
        {"unsigned", [](auto&) {}, false, NRVSignTypeNotSigned, 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir_ / ("file" + std::to_string(n++));
        sig::placeTestee(file);
        c.sign(file);
        auto info = NRVCodeSignValidator::codeSignInfoForPath(file, NRVCodeSignValidator::kCodeSignOptionDeep);
        EXPECT_EQ(info.isValid, c.valid);
        EXPECT_EQ(info.signType, c.signType);
        EXPECT_EQ(info.authorities.size(), c.authorities);
        EXPECT_EQ(info.codeSignOptions, 1u);
        EXPECT_EQ(info.fileSize, std::filesystem::file_size(file));
        EXPECT_EQ(info.sha1.size(), 40u);
        EXPECT_EQ(info.lastError.has_value(), !c.valid);
    }

    const std::string abc = dir_ / "abc";
    testsupport::writeText(abc, "abc");
    auto info = NRVCodeSignValidator::codeSignInfoForPath(abc, 0);
    EXPECT_EQ(info.sha1, "a9993e364706816aba3e25717850c26c9cd0d89d");

    const std::string missing = dir_ / "missing";
    info = NRVCodeSignValidator::codeSignInfoForPath(missing, 0);
    EXPECT_FALSE(info.isValid);
    EXPECT_EQ(info.lastStatusCode, cs::kCodeSignNoSuchCode);
    EXPECT_EQ(info.lastError, "Failed to run SecStaticCodeCreateWithPath for the path '" + missing + "'.|stat() error: 2|"
                              "Failed to open the path '" + missing + "' for reading.");

    struct stat st {};
    if (::stat("/usr/bin/env", &st) == 0 && st.st_uid == 0) {
        info = NRVCodeSignValidator::codeSignInfoForPath("/usr/bin/env", 0);
        EXPECT_TRUE(info.isValid);
        EXPECT_EQ(info.signType, NRVSignTypeApple);
    }
}

TEST(CodeSignValidator, MakerPathsAndSigningTypes) {
    testsupport::ScopedEnv env("NRV_CODESIGN_POLICY", std::nullopt);
    struct PathCase {
        const char* path;
        bool maker;
    } paths[] = {
        {"/Library/SystemExtensions", true},
        {"/Library/SystemExtensions/ABC/x.systemextension", true},
        {"/Library/SystemExtensionsOther/x", false},
        {"/Library/Nerova/bin/agent", true},
        {"/Library", false},
        {"/tmp/Library/Nerova/x", false},
        {"", false},
    };
    for (const auto& c : paths) EXPECT_EQ(NRVCodeSignValidator::isNerovaPath(c.path), c.maker) << c.path;
    EXPECT_EQ(NRVCodeSignValidator::kNerovaEndpointPathsWhiteList().size(), 9u);

    const std::string team = cs::TrustPolicy::current().teamIdentifier;
    auto infoWith = [](std::string dr, std::string teamId, std::uint32_t flags, std::string id = "x") {
        cs::SigningInformation i;
        i.isSigned = true;
        i.identifier = std::move(id);
        i.designatedRequirement = std::move(dr);
        i.teamIdentifier = std::move(teamId);
        i.flags = flags;
        return i;
    };
    struct TypeCase {
        const char* name;
        cs::SigningInformation info;
        std::int64_t type;
    } types[] = {
        {"no identifier", infoWith("anchor apple generic", team, 0, ""), NRVSignTypeNotSigned},
        {"maker", infoWith("identifier \"x\" and anchor apple generic", team, 0), NRVSignTypeNerova},
        {"other developer", infoWith("anchor apple generic", "OTHER", 0), NRVSignTypeAppleDeveloper},
        {"platform", infoWith("identifier \"ls\" and anchor apple", "", 0), NRVSignTypeApple},
        {"ad hoc", infoWith("cdhash H\"00\"", "", 0x2), NRVSignTypeAdhoc},
        {"other", infoWith("identifier \"x\"", "", 0), NRVSignTypeOther},
    };
    for (const auto& c : types) EXPECT_EQ(NRVCodeSignValidator::determineSigningTypeFromSigningInfo(&c.info), c.type) << c.name;
    EXPECT_EQ(NRVCodeSignValidator::determineSigningTypeFromSigningInfo(nullptr), NRVSignTypeNotSigned);

    const char* names[] = {"Not Signed", "Not Available", "Nerova", "Nerova", "Apple", "Apple Developer", "Adhoc", "Other", "Unknown"};
    for (int i = 0; i < 9; ++i) {
        NRVSigningInfo info;
        info.signType = i;
        EXPECT_EQ(info.signTypeName(), names[i]);
    }
    NRVSigningInfo negative;
    negative.signType = -1;
    EXPECT_EQ(negative.signTypeName(), "Unknown");
}

}  // namespace
