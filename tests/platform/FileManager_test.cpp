// The file layer where it meets hostile trees: sources opened without
// following links, files created without following links, errors that name
// the file that failed, moves that never replace, the private temporary
// folder and the folder lock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"
#include "support/TestSupport.h"

namespace fs = platform::fs;
namespace fsys = std::filesystem;
using testsupport::readText;
using testsupport::writeText;

namespace {

class FileManagerTest : public ::testing::Test {
protected:
    testsupport::TempDir tmp;
};

}  // namespace

TEST_F(FileManagerTest, SourcesAreOpenedWithoutFollowingLinks) {
    const std::string root = tmp / "root";
    writeText(root + "/private/var/log/system.log", "system\n");
    writeText(root + "/Library/Logs/real/a.log", "a\n");
    writeText(tmp / "secret/a.log", "secret\n");
    fsys::create_symlink("private/var", root + "/var");
    fsys::create_symlink(tmp / "secret", root + "/Library/Logs/swapped");
    fsys::create_symlink("a.log", root + "/Library/Logs/real/last.log");
    ASSERT_EQ(mkfifo((root + "/Library/Logs/real/pipe.log").c_str(), 0600), 0);
    const fs::LinkPolicy policy{root, {root + "/var"}};
    struct Case {
        std::string path;
        int error;  // 0: opens
    } cases[] = {
        {root + "/Library/Logs/real/a.log", 0},
        {root + "/var/log/system.log", 0},              // the system's own link
        {root + "/Library/Logs/swapped/a.log", ELOOP},  // a folder swapped for a link
        {root + "/Library/Logs/real/last.log", ELOOP},  // a link at the last component
        {root + "/Library/Logs/real/pipe.log", 0},      // opens without blocking; the type is the caller's
        {root + "/Library/Logs/missing/a.log", ENOENT},
    };
    for (const auto& c : cases) {
        platform::Error error;
        auto fd = fs::openWithoutLinks(c.path, policy, &error);
        EXPECT_EQ(fd.has_value(), c.error == 0) << c.path;
        if (c.error) {
            EXPECT_EQ(error.code, c.error) << c.path;
        }
    }
    platform::Error error;
    EXPECT_FALSE(fs::copyItem(root + "/Library/Logs/swapped/a.log", tmp / "copy.log", policy, &error));
    EXPECT_EQ(error.code, ELOOP);
    EXPECT_FALSE(fs::copyItem(root + "/Library/Logs/real/pipe.log", tmp / "copy.log", policy, &error));
    EXPECT_FALSE(testsupport::exists(tmp / "copy.log"));
}

TEST_F(FileManagerTest, CreatedFilesNeverGoThroughALink) {
    writeText(tmp / "victim", "keep\n");
    fsys::create_symlink(tmp / "victim", tmp / "planted");
    platform::Error error;
    EXPECT_FALSE(fs::createFile(tmp / "planted", &error));
    EXPECT_FALSE(fs::writeFile(tmp / "planted", "x", &error));
    EXPECT_FALSE(fs::appendToFile(tmp / "planted", "x", &error));
    EXPECT_EQ(readText(tmp / "victim"), "keep\n");
}

TEST_F(FileManagerTest, CopyErrorsNameTheFileThatFailed) {
    writeText(tmp / "source.log", "x");
    platform::Error error;
    // The destination's folder is missing: the source exists and is not blamed.
    EXPECT_FALSE(fs::copyItem(tmp / "source.log", tmp / "gone/source.log", &error));
    EXPECT_EQ(error.description, "The folder \u201Cgone\u201D doesn\u2019t exist.");
    EXPECT_FALSE(fs::copyItem(tmp / "absent.log", tmp / "copy.log", &error));
    EXPECT_EQ(error.description, "The file \u201C" "absent.log\u201D couldn\u2019t be opened because there is no such file.");
    // An unreadable source names the source, not the destination folder.
    const std::string text = testsupport::asUnprivilegedUser([&] {
        platform::Error e;
        fs::copyItem("/etc/shadow", tmp / "shadow", &e);
        return e.description;
    });
    EXPECT_EQ(text, "The file \u201Cshadow\u201D couldn\u2019t be opened because you don\u2019t have permission to view it.");
}

TEST_F(FileManagerTest, MovesNeverReplaceAndLocksExclude) {
    writeText(tmp / "new", "new");
    writeText(tmp / "existing", "old");
    platform::Error error;
    EXPECT_FALSE(fs::moveItemWithoutReplacing(tmp / "new", tmp / "existing", &error));
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_EQ(readText(tmp / "existing"), "old");
    EXPECT_TRUE(fs::moveItemWithoutReplacing(tmp / "new", tmp / "moved"));

    auto held = fs::lockDirectoryExclusively(tmp.path());
    ASSERT_TRUE(held.has_value());
    EXPECT_FALSE(fs::lockDirectoryExclusively(tmp.path(), &error).has_value());
    EXPECT_EQ(error.code, EWOULDBLOCK);
    held.reset();
    EXPECT_TRUE(fs::lockDirectoryExclusively(tmp.path()).has_value());
}

TEST_F(FileManagerTest, TemporaryFolderIsAlwaysPrivate) {
    const std::string uid = std::to_string(getuid());
    const std::string own = tmp / "own";
    const std::string shared = tmp / "shared";
    fsys::create_directories(own);
    fsys::create_directories(shared);
    chmod(own.c_str(), 0700);
    chmod(shared.c_str(), 01777);
    // Another user's folder planted under the private name: not taken.
    const std::string planted = tmp / "planted";
    fsys::create_directories(planted);
    chmod(planted.c_str(), 01777);
    fsys::create_symlink(tmp / "elsewhere", planted + "/nerova-" + uid);
    struct Case {
        std::string tmpdir;
        std::string expected;
    } cases[] = {
        {own, own + "/"},
        {own + "/", own + "/"},
        {shared, shared + "/nerova-" + uid + "/"},
        {"relative/folder", "/tmp/nerova-" + uid + "/"},
        {planted, "/tmp/nerova-" + uid + "/"},
    };
    for (const auto& c : cases) {
        testsupport::ScopedEnv env("TMPDIR", c.tmpdir);
        EXPECT_EQ(platform::temporaryDirectory(), c.expected) << c.tmpdir;
    }
    struct stat st {};
    ASSERT_EQ(lstat((shared + "/nerova-" + uid).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_FALSE(testsupport::exists(tmp / "elsewhere"));
}

TEST_F(FileManagerTest, CheckedReadsAndSingleFileRemovalNeverReachPastTheName) {
    writeText(tmp / "file", "content");
    ::chmod((tmp / "file").c_str(), 0644);
    ::symlink((tmp / "file").c_str(), (tmp / "link").c_str());
    ::mkdir((tmp / "folder").c_str(), 0755);
    writeText(tmp / "folder/inside", "keep");

    auto modeIs644 = [](const fs::ItemAttributes& a) { return a.permissions == 0644; };
    struct Case {
        const char* name;
        std::function<bool(const fs::ItemAttributes&)> accept;
        std::optional<std::string> expected;
        bool refused;
        int code;
    } reads[] = {
        {"file", modeIs644, "content", false, 0},
        {"file", [](const fs::ItemAttributes& a) { return a.permissions == 0600; }, std::nullopt, true, 0},
        {"link", modeIs644, std::nullopt, false, ELOOP},
        {"folder", modeIs644, std::nullopt, false, EINVAL},
        {"missing", modeIs644, std::nullopt, false, ENOENT},
    };
    for (const auto& c : reads) {
        bool refused = false;
        platform::Error error;
        auto read = fs::readFileWithoutLinks(tmp / c.name, c.accept, &refused, nullptr, &error);
        EXPECT_EQ(read, c.expected) << c.name;
        EXPECT_EQ(refused, c.refused) << c.name;
        EXPECT_EQ(error.code, c.code) << c.name;
    }
    platform::Error tooLarge;
    EXPECT_FALSE(fs::readFileWithoutLinks(tmp / "file", nullptr, nullptr, nullptr, &tooLarge, 3));
    EXPECT_EQ(tooLarge.code, EFBIG);

    fs::FileIdentity identity;
    ASSERT_TRUE(fs::readFileWithoutLinks(tmp / "file", nullptr, nullptr, &identity));
    platform::Error error;
    EXPECT_FALSE(fs::removeRegularFile(tmp / "folder", std::nullopt, &error));
    EXPECT_EQ(readText(tmp / "folder/inside"), "keep");
    EXPECT_FALSE(fs::removeRegularFile(tmp / "link", std::nullopt, &error));
    EXPECT_TRUE(fsys::is_symlink(tmp / "link"));
    // The path now names another file than the one that was read.
    ::rename((tmp / "file").c_str(), (tmp / "old").c_str());
    writeText(tmp / "file", "replacement");
    EXPECT_FALSE(fs::removeRegularFile(tmp / "file", identity, &error));
    EXPECT_EQ(error.code, ESTALE);
    EXPECT_EQ(readText(tmp / "file"), "replacement");
    EXPECT_TRUE(fs::removeRegularFile(tmp / "old", identity));
    EXPECT_FALSE(fsys::exists(tmp / "old"));
}

TEST_F(FileManagerTest, AtomicWritesTakeTheGivenModeWhateverTheUmask) {
    const mode_t old = ::umask(077);
    EXPECT_TRUE(fs::writeFileAtomicallyWithPermissions(tmp / "archive", "bytes", 0644));
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat((tmp / "archive").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(readText(tmp / "archive"), "bytes");
}
