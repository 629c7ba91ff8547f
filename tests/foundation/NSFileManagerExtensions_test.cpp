#include "foundation/NSFileManagerExtensions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

namespace fm = NSFileManagerExtensions;

std::vector<std::string> names(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const auto& p : paths) out.push_back(p.substr(p.rfind('/') + 1));
    std::sort(out.begin(), out.end());
    return out;
}

TEST(NSFileManagerExtensionsTest, PathTests) {
    struct Case {
        const char* path;
        bool system, qrb;
    } cases[] = {
        {"/system/library/x", true, false},
        {"/System/Library/Frameworks", true, false},
        {"/usr/sbin/mDNSResponder", true, false},
        {"/usr/sbin/mdnsresponder", false, false},
        {"/library/nerova anti-virus/x", false, true},
        {"/Library/Nerova Anti-Virus", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fm::isSystemApplicationPath(c.path), c.system) << c.path;
        EXPECT_EQ(fm::isQRBPath(c.path), c.qrb) << c.path;
    }
    EXPECT_FALSE(fm::isSystemApplicationPath(std::nullopt));
    EXPECT_EQ(*fm::rootAdminFileAttributes().find("NSFilePosixPermissions"), NRVValue(420));
    EXPECT_EQ(*fm::rootAdminDirectoryAttributes().find("NSFileGroupOwnerAccountID"), NRVValue(80));
}

TEST(NSFileManagerExtensionsTest, WildcardMatches) {
    testsupport::TempDir dir;
    const std::vector<std::string> files = {"a.LOG", "b.log", "c.txt", "Apple", "line\nfeed.log", "bad\xFF.log",
                                            "x*y.log", "ab"};
    for (const auto& f : files) testsupport::writeText(dir / f, "");
    struct Case {
        std::string pattern;
        std::vector<std::string> expected;
    } cases[] = {
        {"*.log", {"a.LOG", "b.log", "bad\xFF.log", "line\nfeed.log", "x*y.log"}},
        {"a*", {"Apple", "a.LOG", "ab"}},
        {"*", files},
        {"a*b", {"ab"}},
        {"x**y.log", {"x*y.log"}},  // a second "*" is a plain character; prefix and suffix overlap
        {"x*y.log", {"x*y.log"}},
        {"line\nfeed.log", {"line\nfeed.log"}},
        {"nothing", {}},
    };
    for (auto& c : cases) {
        NRVError error;
        auto matches = fm::matchesForWildCardedPath(dir / c.pattern, &error);
        ASSERT_TRUE(matches) << c.pattern;
        std::sort(c.expected.begin(), c.expected.end());
        EXPECT_EQ(names(*matches), c.expected) << c.pattern;
    }
    NRVError error;
    auto missing = fm::matchesForWildCardedPath(dir / "no/such/*.log", &error);
    ASSERT_TRUE(missing);
    EXPECT_TRUE(missing->empty());
    EXPECT_TRUE(error.domain.empty()) << "no error for a missing folder";
}

TEST(NSFileManagerExtensionsTest, TildeExpandsForEveryUserFolder) {
    testsupport::TempDir root;
    testsupport::writeText(root / "home/ann/Library/x.log", "");
    testsupport::writeText(root / "home/bob/other", "");
    testsupport::writeText(root / "home/notes.txt", "");
    testsupport::ScopedEnv env("NRV_SYSTEM_ROOT", root.path());
    auto expanded = fm::expandPathForAllUsers("~/Library/x.log");
    ASSERT_TRUE(expanded);
    EXPECT_EQ(*expanded, (std::vector<std::string>{root / "home/ann/Library/x.log", root / "home/bob/Library/x.log",
                                                   root / "home/notes.txt/Library/x.log"}));
    EXPECT_EQ(*fm::expandPathForAllUsers("/etc/x"), std::vector<std::string>{"/etc/x"});
    EXPECT_TRUE(fm::expandPathForAllUsers(" ")->empty());
    auto matches = fm::matchesForWildCardedPath("~/Library/*.LOG");
    ASSERT_TRUE(matches);
    EXPECT_EQ(*matches, std::vector<std::string>{root / "home/ann/Library/x.log"});

    testsupport::ScopedEnv nowhere("NRV_SYSTEM_ROOT", root / "missing");
    NRVError error;
    EXPECT_FALSE(fm::expandPathForAllUsers("~/x", &error));
    EXPECT_EQ(error.code, ENOENT);
}

TEST(NSFileManagerExtensionsTest, VerifyAttributes) {
    testsupport::TempDir dir;
    testsupport::writeText(dir / "f", "1234");
    ::chmod((dir / "f").c_str(), 0600);
    NRVDictionary wrong;
    wrong.set("NSFilePosixPermissions", 420);
    NRVError error("untouched", 99);
    EXPECT_FALSE(fm::verifyAttribute(wrong, dir / "f", &error));
    EXPECT_EQ(error.domain, "untouched");
    NRVDictionary right;
    right.set("NSFilePosixPermissions", 0600);
    right.set("NSFileSize", 4);
    right.set("NSFileOwnerAccountID", static_cast<long long>(::getuid()));
    EXPECT_TRUE(fm::verifyAttribute(right, dir / "f", &error));
    EXPECT_FALSE(fm::verifyAttribute(NRVDictionary{}, dir / "f", &error));
    EXPECT_EQ(error.domain, "com.nerova.extensions");
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.localizedDescription, "NSFileManager+Extension: Invalid attributes are given. Attribute: {}");
    EXPECT_FALSE(fm::verifyAttribute(right, dir / "missing", &error));
    EXPECT_EQ(error.code, ENOENT);

    for (const std::string name : {"line\nfeed", "bad\xFF\xFEname"}) {
        testsupport::writeText(dir / name, "1234");
        ::chmod((dir / name).c_str(), 0600);
        EXPECT_TRUE(fm::verifyAttribute(right, dir / name)) << name;
    }

    ::symlink((dir / "f").c_str(), (dir / "link").c_str());
    NRVDictionary regular;
    regular.set("NSFileType", "NSFileTypeRegular");
    EXPECT_FALSE(fm::verifyAttribute(regular, dir / "link")) << "the link itself is examined";
}

TEST(NSFileManagerExtensionsTest, DeepFoldersAndCopyOverwrite) {
    testsupport::TempDir dir;
    ASSERT_EQ(::mkdir((dir / "pre").c_str(), 0755), 0);
    ::chmod((dir / "pre").c_str(), 0755);
    NRVDictionary attributes;
    attributes.set("NSFilePosixPermissions", 0700);
    ASSERT_TRUE(fm::createDeepDirectoryAtPath(dir / "pre/a/b/c", &attributes));
    struct stat st {};
    for (const char* p : {"pre/a", "pre/a/b", "pre/a/b/c"}) {
        ASSERT_EQ(::stat((dir / p).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u) << p;
    }
    ::stat((dir / "pre").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << "an existing folder keeps its mode";

    testsupport::writeText(dir / "src", "new contents");
    ::chmod((dir / "src").c_str(), 0640);
    testsupport::writeText(dir / "dst", "old");
    ASSERT_TRUE(fm::copyAndOverwriteItemAtPath(dir / "src", dir / "dst"));
    EXPECT_EQ(testsupport::readText(dir / "dst"), "new contents");
    ::stat((dir / "dst").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    NRVError error;
    EXPECT_FALSE(fm::copyAndOverwriteItemAtPath("", dir / "dst", &error));
    EXPECT_TRUE(error.domain.empty());
    EXPECT_FALSE(fm::copyAndOverwriteItemAtPath(dir / "missing", dir / "dst", &error));
    EXPECT_EQ(error.code, ENOENT);
}

TEST(NSFileManagerExtensionsTest, MonitorsAnOpenFile) {
    testsupport::TempDir dir;
    testsupport::writeText(dir / "watched", "x");
    int fd = ::open((dir / "watched").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    // A handler call already under way may finish after cancel(), as with
    // the platform's sources, so what it touches is shared with it.
    struct Seen {
        std::mutex m;
        std::condition_variable cv;
        std::uint32_t flags = 0;
    };
    auto state = std::make_shared<Seen>();
    auto& m = state->m;
    auto& cv = state->cv;
    auto& seen = state->flags;
    auto monitor = fm::monitorOpenFile(fd, platform::fswatch::kVnodeWrite | platform::fswatch::kVnodeDelete,
                                       [state](std::uint32_t flags, const NRVError* error) {
                                           std::lock_guard lock(state->m);
                                           if (!error) state->flags |= flags;
                                           state->cv.notify_all();
                                       });
    ASSERT_TRUE(monitor);
    auto waitFor = [&](std::uint32_t flag) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(30), [&] { return (seen & flag) != 0; });
    };
    ::chmod((dir / "watched").c_str(), 0600);  // not in the mask
    testsupport::writeText(dir / "watched", "more");
    EXPECT_TRUE(waitFor(platform::fswatch::kVnodeWrite));
    ::unlink((dir / "watched").c_str());
    EXPECT_TRUE(waitFor(platform::fswatch::kVnodeDelete));
    {
        std::lock_guard lock(m);
        EXPECT_EQ(seen & platform::fswatch::kVnodeAttrib, 0u);
    }
    monitor->cancel();
    ::close(fd);

    std::uint32_t failedFlags = 99;
    std::int64_t failedCode = 0;
    EXPECT_EQ(fm::monitorOpenFile(-1, platform::fswatch::kVnodeWrite,
                                  [&](std::uint32_t flags, const NRVError* error) {
                                      failedFlags = flags;
                                      failedCode = error ? error->code : 0;
                                  }),
              nullptr);
    EXPECT_EQ(failedFlags, 0u);
    EXPECT_EQ(failedCode, 22);
}

}  // namespace
