// Every input that decides trust (the trust-policy file, an anchors folder
// and the anchors in it, the runtime root with xpc/ and notify/) is used only
// when it, and the folders above it, belong to root or this user and nobody
// else can write them. Each is made in every way another local user could
// hold or reach it, with a real second user as the owner.
#include "platform/fs/TrustedItem.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>

#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/TrustPolicy.h"
#include "platform/log/LogStore.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/plist/PropertyList.h"
#include "platform/xpc/XPCListener.h"
#include "support/Signing.h"
#include "support/TestSupport.h"
#include "support/TrustInputs.h"

namespace cs = platform::codesign;
namespace sig = testsupport::signing;
namespace trust = testsupport::trust;
using testsupport::TempDir;
using trust::ItemKind;
using trust::Variant;

namespace {

constexpr const char* kMarkerTeam = "QZ9MARKER1";

class TrustInputs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        user_ = new trust::ScopedLocalUser();
        authority_ = new TempDir();
        std::string why;
        auto options = sig::lookalikeOptions(authority_->path(), "com.nerova.program", &why);
        if (!options) {
            setupProblem_ = new std::string("cannot make an authority: " + why);
            return;
        }
        sig::placeTestee(lookalikeSigned());
        if (!cs::signFile(lookalikeSigned(), *options)) setupProblem_ = new std::string("cannot sign");
    }
    static void TearDownTestSuite() {
        delete setupProblem_;
        delete authority_;
        delete user_;
        setupProblem_ = nullptr;
        authority_ = nullptr;
        user_ = nullptr;
    }
    void SetUp() override {
        if (!user_->ok()) GTEST_SKIP() << "no second user: " << user_->why();
        ASSERT_EQ(setupProblem_, nullptr) << *setupProblem_;
    }

    static std::string lookalikeRoot() { return *authority_ / "root.pem"; }
    static std::string lookalikeSigned() { return *authority_ / "signed-program"; }

    // Whether the lookalike authority's root counts as an anchor under the
    // policy file `policy`.
    static bool lookalikeAnchored(const std::string& policy) {
        testsupport::ScopedEnv env("NRV_CODESIGN_POLICY", policy);
        auto code = cs::StaticCode::createWithPath(lookalikeSigned());
        auto generic = cs::Requirement::parse("anchor apple generic");
        return code && generic && code->checkValidity(&*generic);
    }

    static trust::ScopedLocalUser* user_;
    static TempDir* authority_;
    static std::string* setupProblem_;
};

trust::ScopedLocalUser* TrustInputs::user_ = nullptr;
TempDir* TrustInputs::authority_ = nullptr;
std::string* TrustInputs::setupProblem_ = nullptr;

void makeFolder(const std::string& path) { std::filesystem::create_directory(path); }

bool listens(const std::string& runtimeRoot) {
    testsupport::ScopedEnv env("NRV_RUNTIME_ROOT", runtimeRoot);
    platform::Error error;
    auto listener = platform::xpc::Listener::forService("com.nerova.trust-test", &error);
    if (!listener) return false;
    listener->invalidate();
    return true;
}

TEST_F(TrustInputs, EachInputIsUsedOnlyWhenNobodyElseCanChangeIt) {
    struct Input {
        const char* name;
        ItemKind kind;
        // The folder holding the item is itself a checked input, so that it
        // may not be writable by others even with the sticky bit.
        bool parentIsInput;
        const char* relativePath;
        std::function<void(const std::string&)> fill;
        std::function<bool(const TempDir&, const std::string&)> used;
    } inputs[] = {
        {"trust-policy file", ItemKind::File, false, "sub/policy.plist",
         [](const std::string& p) {
             NRVDictionary d;
             d.set("TeamIdentifier", NRVValue(kMarkerTeam));
             platform::plist::writeFile(p, NRVValue(d), platform::plist::Format::XML);
         },
         [](const TempDir&, const std::string& item) {
             testsupport::ScopedEnv env("NRV_CODESIGN_POLICY", item);
             return cs::TrustPolicy::current().teamIdentifier == kMarkerTeam;
         }},
        {"anchors folder", ItemKind::Folder, false, "sub/anchors",
         [](const std::string& p) {
             makeFolder(p);
             std::filesystem::copy_file(lookalikeRoot(), p + "/root.pem");
         },
         [](const TempDir& dir, const std::string& item) {
             return lookalikeAnchored(sig::writePolicy(dir / "policy.plist", {}, item));
         }},
        {"anchor certificate", ItemKind::File, true, "anchors/root.pem",
         [](const std::string& p) { std::filesystem::copy_file(lookalikeRoot(), p); },
         [](const TempDir& dir, const std::string&) {
             return lookalikeAnchored(sig::writePolicy(dir / "policy.plist", {}, dir / "anchors"));
         }},
        {"runtime root", ItemKind::Folder, false, "sub/runtime", makeFolder,
         [](const TempDir&, const std::string& item) { return listens(item); }},
        {"xpc folder", ItemKind::Folder, true, "runtime/xpc", makeFolder,
         [](const TempDir& dir, const std::string&) { return listens(dir / "runtime"); }},
        {"notify folder", ItemKind::SharedFolder, true, "runtime/notify", makeFolder,
         [](const TempDir&, const std::string& item) {
             platform::notify::NotificationCenter center(item);
             platform::Error error;
             const bool posts = center.post({"com.nerova.trust-test", std::nullopt, std::nullopt}, &error);
             // Observing may first give a folder of its own owner the shared
             // mode; a folder fit to post into is always fit to observe in.
             const bool observes = center.addObserver(&center, std::string("com.nerova.trust-test"), std::nullopt,
                                                      [](const platform::notify::Notification&) {}, &error);
             center.removeObserver(&center);
             EXPECT_TRUE(observes || !posts) << item << ": " << error.description;
             return posts;
         }},
    };

    for (const auto& input : inputs) {
        for (Variant variant : trust::kAllVariants) {
            TempDir dir;
            const std::string item = dir / input.relativePath;
            trust::makeItem(item, input.kind, variant, *user_, input.fill);
            auto capture = std::make_shared<platform::log::CaptureSink>();
            platform::log::setSink(capture);
            const bool used = input.used(dir, item);
            platform::log::setSink(nullptr);
            const bool expected =
                variant == Variant::Good || (variant == Variant::InStickyFolder && !input.parentIsInput);
            EXPECT_EQ(used, expected) << input.name << " " << trust::variantName(variant);
            // A refusal says so in the log; an input that is used says nothing.
            std::size_t errors = 0;
            for (const auto& record : capture->records()) {
                if (record.level == platform::log::Level::Error) ++errors;
            }
            if (expected) {
                EXPECT_EQ(errors, 0u) << input.name << " " << trust::variantName(variant);
            } else {
                EXPECT_GE(errors, 1u) << input.name << " " << trust::variantName(variant);
            }
        }
    }
}

// For a process of an ordinary user, that user's own items count as root's
// do; a third user's do not.
TEST_F(TrustInputs, AnOrdinaryUsersOwnItemsAreTrustedToo) {
    namespace fs = platform::fs;
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    for (const char* name : {"mine", "roots", "third"}) testsupport::writeText(dir / name, "x");
    ASSERT_EQ(::chown((dir / "mine").c_str(), user_->uid(), user_->gid()), 0);
    ASSERT_EQ(::chown((dir / "third").c_str(), 65534, 65534), 0);
    const std::string mine = dir / "mine", roots = dir / "roots", third = dir / "third";
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(user_->gid()) != 0 || ::setuid(user_->uid()) != 0) _exit(100);
        int result = 0;
        if (fs::isTrustedItem(mine, fs::TrustedItemKind::File)) result |= 1;
        if (fs::isTrustedItem(roots, fs::TrustedItemKind::File)) result |= 2;
        if (fs::isTrustedItem(third, fs::TrustedItemKind::File)) result |= 4;
        _exit(result);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1 | 2) << "bit 1: own item, 2: root's, 4: a third user's";
}

// The rule itself, for what the table above cannot reach: the root folder,
// and a folder above that is writable by others.
TEST(TrustedItem, OwnerModeAndPlaceDecide) {
    namespace fs = platform::fs;
    platform::Error why;
    EXPECT_TRUE(fs::isTrustedItem("/", fs::TrustedItemKind::Folder, &why)) << why.description;
    EXPECT_TRUE(fs::isTrustedItem("/tmp", fs::TrustedItemKind::SharedFolder, &why)) << why.description;
    EXPECT_FALSE(fs::isTrustedItem("/tmp", fs::TrustedItemKind::Folder, &why));
    EXPECT_NE(why.description.find("writable by group or others"), std::string::npos) << why.description;
    EXPECT_FALSE(fs::isTrustedItem("/tmp", fs::TrustedItemKind::File, &why));
    // A path that cannot be resolved or examined names the failing call.
    EXPECT_FALSE(fs::isTrustedItem("/nonexistent-folder/x", fs::TrustedItemKind::File, &why));
    EXPECT_EQ(why.description, "/nonexistent-folder cannot be resolved: No such file or directory");
    EXPECT_EQ(why.operation, "realpath");
    EXPECT_EQ(why.code, ENOENT);
    EXPECT_FALSE(fs::isTrustedItem("", fs::TrustedItemKind::File, &why));

    TempDir dir;
    testsupport::writeText(dir / "open/deeper/file", "x");
    EXPECT_FALSE(fs::isTrustedItem(dir / "open/deeper/missing", fs::TrustedItemKind::File, &why));
    EXPECT_EQ(why.operation, "lstat");
    EXPECT_EQ(why.code, ENOENT);
    std::filesystem::permissions(dir / "open", std::filesystem::perms(0777));
    EXPECT_FALSE(fs::isTrustedItem(dir / "open/deeper/file", fs::TrustedItemKind::File, &why));
    EXPECT_NE(why.description.find(dir / "open"), std::string::npos) << why.description;
    // A link above the item is resolved, and the folder it leads to judged.
    std::filesystem::create_directory_symlink(dir / "open/deeper", dir / "via");
    EXPECT_FALSE(fs::isTrustedItem(dir / "via/file", fs::TrustedItemKind::File, &why));
    std::filesystem::permissions(dir / "open", std::filesystem::perms(0755));
    EXPECT_TRUE(fs::isTrustedItem(dir / "via/file", fs::TrustedItemKind::File, &why)) << why.description;
}

}  // namespace
