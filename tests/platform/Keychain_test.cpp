#include "platform/keychain/Keychain.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace kc = platform::keychain;
namespace st = platform::keychain::status;

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// What someone who can write the file but lacks the password can do: change
// bytes and make the plain checksum fit again. Only the tag can tell.
void refreshChecksum(std::vector<std::uint8_t>& bytes) {
    std::size_t bodyLength = bytes.size() - 64;
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bodyLength, bytes.data() + bodyLength, &len, EVP_sha256(), nullptr);
}

NRVDictionary attributes(std::initializer_list<std::pair<const char*, NRVValue>> pairs) {
    NRVDictionary d;
    for (const auto& [k, v] : pairs) d.set(k, v);
    return d;
}

class KeychainStoreTest : public ::testing::Test {
protected:
    void SetUp() override { kc::Keychain::setIterationCountForNewKeychains(1000); }
    void TearDown() override { kc::Keychain::setIterationCountForNewKeychains(kc::Keychain::kDefaultIterationCount); }

    // A keychain with one password item, released so that the next open
    // starts from the file alone.
    std::string makeKeychainWithItem(const std::string& name = "k.keychain") {
        std::string path = dir / name;
        std::shared_ptr<kc::Keychain> keychain;
        EXPECT_EQ(status(kc::Keychain::create(path, "pässwörd", &keychain, &e)), st::success);
        EXPECT_EQ(status(keychain->add(kc::ItemClass::GenericPassword,
                                       attributes({{"svce", "mail"}, {"acct", "ann"}, {"labl", "mail"}}),
                                       bytesOf("top-secret-value"), nullptr, &e)),
                  st::success);
        return path;
    }

    // The status of the call given `&e`: success, or the one its error carries.
    kc::Status status(bool succeeded) const { return kc::statusOf(succeeded, e); }

    testsupport::TempDir dir;
    platform::Error e;
};

TEST_F(KeychainStoreTest, ItemsRoundTripThroughTheFileAndSecretsNeedTheRightPassword) {
    std::string path = makeKeychainWithItem();
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::vector<std::uint8_t> raw = readBytes(path);
    std::string rawText(raw.begin(), raw.end());
    EXPECT_EQ(rawText.find("top-secret-value"), std::string::npos);
    EXPECT_NE(rawText.find("mail"), std::string::npos);  // attributes stay searchable

    auto keychain = kc::Keychain::open(path);
    EXPECT_FALSE(keychain->isUnlocked());
    std::vector<kc::Item> found;
    ASSERT_EQ(
        status(keychain->find(kc::ItemClass::GenericPassword, {{"svce", "mail"}, {"acct", "ann"}}, 10, &found, &e)),
        st::success);
    ASSERT_EQ(found.size(), 1u);
    kc::SecureBytes secret;
    EXPECT_EQ(status(keychain->copySecret(found[0].id, &secret, &e)), st::interactionNotAllowed);
    EXPECT_EQ(
        status(keychain->add(kc::ItemClass::GenericPassword, attributes({{"svce", "x"}}), std::nullopt, nullptr, &e)),
        st::interactionNotAllowed);

    // A password that is a prefix of the real one must not pass: the whole
    // UTF-8 text counts, not a count of UTF-16 units.
    EXPECT_EQ(status(keychain->unlock("pässw", &e)), st::authFailed);
    EXPECT_EQ(status(keychain->unlock("pässwörd", &e)), st::success);
    ASSERT_EQ(status(keychain->copySecret(found[0].id, &secret, &e)), st::success);
    EXPECT_EQ(secret.view(), "top-secret-value");

    EXPECT_EQ(status(keychain->find(kc::ItemClass::GenericPassword, {{"svce", "other"}}, 10, &found, &e)),
              st::itemNotFound);
    EXPECT_EQ(status(keychain->find(kc::ItemClass::Certificate, {{"svce", "mail"}}, 10, &found, &e)),
              st::itemNotFound);
}

TEST_F(KeychainStoreTest, UniqueAttributesRefuseDuplicatesOnAddAndModify) {
    std::string path = makeKeychainWithItem();
    auto keychain = kc::Keychain::open(path);
    ASSERT_EQ(status(keychain->unlock("pässwörd", &e)), st::success);
    EXPECT_EQ(status(keychain->add(kc::ItemClass::GenericPassword, attributes({{"svce", "mail"}, {"acct", "ann"}}),
                                   std::nullopt, nullptr, &e)),
              st::duplicateItem);
    std::uint64_t bob = 0;
    ASSERT_EQ(status(keychain->add(kc::ItemClass::GenericPassword, attributes({{"svce", "mail"}, {"acct", "bob"}}),
                                   std::nullopt, &bob, &e)),
              st::success);
    EXPECT_EQ(status(keychain->modify(bob, attributes({{"acct", "ann"}}), std::nullopt, &e)), st::duplicateItem);
    EXPECT_EQ(status(keychain->modify(bob, attributes({{"acct", "cy"}}), bytesOf("new"), &e)), st::success);
    std::vector<kc::Item> found;
    EXPECT_EQ(status(keychain->find(kc::ItemClass::GenericPassword, {{"acct", "bob"}}, 10, &found, &e)),
              st::itemNotFound);
    ASSERT_EQ(status(keychain->find(kc::ItemClass::GenericPassword, {{"svce", "mail"}}, 10, &found, &e)), st::success);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(*found[1].attributes.find("acct")->asString(), "cy");  // order of adding is kept
    EXPECT_EQ(status(keychain->remove(bob, &e)), st::success);
    EXPECT_EQ(status(keychain->remove(bob, &e)), st::itemNotFound);
}

TEST_F(KeychainStoreTest, CreateNeverReplacesWhatIsThere) {
    std::string path = makeKeychainWithItem();
    std::shared_ptr<kc::Keychain> again;
    EXPECT_EQ(status(kc::Keychain::create(path, "other", &again, &e)), st::duplicateKeychain);
    std::string link = dir / "link.keychain";
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    EXPECT_EQ(status(kc::Keychain::create(link, "other", &again, &e)), st::duplicateKeychain);
    // Opening through the link is refused rather than followed.
    EXPECT_EQ(status(kc::Keychain::open(link)->check(&e)), st::invalidKeychain);
    EXPECT_EQ(status(kc::Keychain::create(dir / "missing/k.keychain", "pw", &again, &e)), st::noSuchKeychain);
}

TEST_F(KeychainStoreTest, DamagedFilesAreRefusedWhole) {
    struct Case {
        const char* name;
        void (*damage)(std::vector<std::uint8_t>&);
        kc::Status whenOpened;    // reading attributes of the locked keychain
        kc::Status whenUnlocked;  // unlocking with the right password
    };
    const Case cases[] = {
        {"truncated by one byte", [](auto& b) { b.pop_back(); }, st::invalidKeychain, st::invalidKeychain},
        {"cut in half", [](auto& b) { b.resize(b.size() / 2); }, st::invalidKeychain, st::invalidKeychain},
        {"empty", [](auto& b) { b.clear(); }, st::invalidKeychain, st::invalidKeychain},
        {"byte flipped", [](auto& b) { b[b.size() / 2] ^= 0x01; }, st::invalidKeychain, st::invalidKeychain},
        {"another version",
         [](auto& b) {
             b[8] = 2;
             refreshChecksum(b);
         },
         st::invalidKeychain, st::invalidKeychain},
        // Attribute text changed and the checksum made to fit: readable while
        // locked (nothing can tell), refused once the tag can be checked.
        {"attribute changed behind the tag",
         [](auto& b) {
             std::string text(b.begin(), b.end());
             auto at = text.find("ann");
             b[at] = 'e';
             refreshChecksum(b);
         },
         st::success, st::invalidKeychain},
        {"secret changed behind the tag",
         [](auto& b) {
             b[b.size() - 64 - 17] ^= 0x01;  // last byte of the sealed secret
             refreshChecksum(b);
         },
         st::success, st::invalidKeychain},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = makeKeychainWithItem("damaged" + std::to_string(n++) + ".keychain");
        std::vector<std::uint8_t> bytes = readBytes(path);
        c.damage(bytes);
        writeBytes(path, bytes);
        auto keychain = kc::Keychain::open(path);
        std::vector<kc::Item> found;
        kc::Status opened = status(keychain->find(kc::ItemClass::GenericPassword, {}, 10, &found, &e));
        EXPECT_EQ(opened == st::itemNotFound ? st::success : opened, c.whenOpened);
        EXPECT_EQ(status(keychain->unlock("pässwörd", &e)), c.whenUnlocked);
        kc::SecureBytes secret;
        if (!found.empty()) {
            EXPECT_NE(status(keychain->copySecret(found[0].id, &secret, &e)), st::success);
        }
        EXPECT_TRUE(secret.empty());
    }
}

TEST_F(KeychainStoreTest, ReloadsWhenAnotherWriterChangedTheFileAndRefusesATamperedOne) {
    std::string path = makeKeychainWithItem();
    auto keychain = kc::Keychain::open(path);
    ASSERT_EQ(status(keychain->unlock("pässwörd", &e)), st::success);
    std::vector<kc::Item> found;
    ASSERT_EQ(status(keychain->find(kc::ItemClass::GenericPassword, {}, 10, &found, &e)), st::success);

    std::vector<std::uint8_t> bytes = readBytes(path);
    std::string text(bytes.begin(), bytes.end());
    bytes[text.find("ann")] = 'e';
    refreshChecksum(bytes);
    std::string replacement = dir / "replacement";
    writeBytes(replacement, bytes);
    ASSERT_EQ(::rename(replacement.c_str(), path.c_str()), 0);

    EXPECT_EQ(status(keychain->find(kc::ItemClass::GenericPassword, {}, 10, &found, &e)), st::invalidKeychain);
    EXPECT_EQ(
        status(keychain->add(kc::ItemClass::GenericPassword, attributes({{"svce", "x"}}), std::nullopt, nullptr, &e)),
        st::invalidKeychain);
}

TEST_F(KeychainStoreTest, TwoProcessesAddingAtOnceLoseNothing) {
    constexpr int kPerProcess = 500;
    std::string path = dir / "shared.keychain";
    {
        std::shared_ptr<kc::Keychain> keychain;
        ASSERT_EQ(status(kc::Keychain::create(path, "pw", &keychain, &e)), st::success);
    }
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = ::fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            auto keychain = kc::Keychain::open(path);
            int failures = keychain->unlock("pw") ? 0 : 1;
            for (int i = 0; i < kPerProcess; ++i) {
                std::string service = "svc-" + std::to_string(c) + "-" + std::to_string(i);
                if (!keychain->add(kc::ItemClass::GenericPassword, attributes({{"svce", NRVValue(service)}}),
                                   bytesOf(service)))
                    ++failures;
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto keychain = kc::Keychain::open(path);
    ASSERT_EQ(status(keychain->unlock("pw", &e)), st::success);
    std::vector<kc::Item> found;
    ASSERT_EQ(status(keychain->find(kc::ItemClass::GenericPassword, {}, 10000, &found, &e)), st::success);
    EXPECT_EQ(found.size(), 2u * kPerProcess);
    kc::SecureBytes secret;
    ASSERT_EQ(status(keychain->copySecret(found.back().id, &secret, &e)), st::success);
    EXPECT_EQ(secret.view(), *found.back().attributes.find("svce")->asString());
}

// A failed system call keeps the status it has always meant and brings the
// call and its errno along; a refusal of the keychain's own has neither.
TEST_F(KeychainStoreTest, FailedSystemCallsCarryTheCallAndErrnoBesideTheStatus) {
    std::string path = makeKeychainWithItem();
    const std::string readOnly = dir / "read-only";
    ASSERT_EQ(::mkdir(readOnly.c_str(), 0555), 0);
    const std::string lockedOut = makeKeychainWithItem("locked-out.keychain");
    ASSERT_EQ(::unlink((lockedOut + ".lock").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (lockedOut + ".lock").c_str()), 0);
    const std::string link = dir / "link.keychain";
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    std::shared_ptr<kc::Keychain> made;
    const struct {
        const char* name;
        std::function<bool(platform::Error*)> call;
        kc::Status status;
        const char* operation;
        int code;
    } cases[] = {
        {"create in a missing folder",
         [&](platform::Error* error) { return kc::Keychain::create(dir / "missing/k.keychain", "pw", &made, error); },
         st::noSuchKeychain, "mkostemp", ENOENT},
        {"check of a missing file",
         [&](platform::Error* error) { return kc::Keychain::open(dir / "none.keychain")->check(error); },
         st::noSuchKeychain, "lstat", ENOENT},
        {"delete below a file",
         [&](platform::Error* error) { return kc::Keychain::open(path + "/k.keychain")->deleteFile(error); },
         st::noSuchKeychain, "lstat", ENOTDIR},
        {"change with a link as the lock file",
         [&](platform::Error* error) {
             auto keychain = kc::Keychain::open(lockedOut);
             return keychain->unlock("pässwörd", error) && keychain->remove(1, error);
         },
         st::invalidKeychain, "open", ELOOP},
        {"link at the path (no system call failed)",
         [&](platform::Error* error) { return kc::Keychain::open(link)->check(error); }, st::invalidKeychain, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::Error error;
        ASSERT_FALSE(c.call(&error));
        EXPECT_EQ(error.status, c.status);
        EXPECT_EQ(error.operation, c.operation);
        EXPECT_EQ(error.code, c.code);
        EXPECT_EQ(error.description.rfind(kc::statusMessage(c.status), 0), 0u) << error.description;
    }
    // Permissions do not hold root back.
    if (::geteuid() != 0) {
        platform::Error error;
        EXPECT_FALSE(kc::Keychain::create(readOnly + "/k.keychain", "pw", &made, &error));
        EXPECT_EQ(error.status, st::writePermission);
        EXPECT_EQ(error.operation, "mkostemp");
        EXPECT_EQ(error.code, EACCES);
    }
    platform::Error error;
    EXPECT_FALSE(kc::Keychain::open(dir / "none.keychain")->check(&error));
    EXPECT_EQ(error.description, "The specified keychain could not be found. (lstat " + (dir / "none.keychain") +
                                     ": No such file or directory)");
}

TEST_F(KeychainStoreTest, DeletedFileIsNoLongerUsable) {
    std::string path = makeKeychainWithItem();
    auto keychain = kc::Keychain::open(path);
    ASSERT_EQ(status(keychain->unlock("pässwörd", &e)), st::success);
    EXPECT_EQ(status(keychain->deleteFile(&e)), st::success);
    EXPECT_FALSE(testsupport::exists(path));
    EXPECT_EQ(status(keychain->deleteFile(&e)), st::noSuchKeychain);
    EXPECT_EQ(status(keychain->unlock("pässwörd", &e)), st::noSuchKeychain);
    EXPECT_FALSE(keychain->isUnlocked());
}

// A file written before: the committed fuzz seed (its body and tag; the
// checksum goes between them). Read, unlocked and written again unchanged,
// it must come back byte for byte, so neither the reader nor the writer of
// the layout can drift.
TEST_F(KeychainStoreTest, CommittedFileReadsAndWritesBackByteForByte) {
    std::vector<std::uint8_t> seed = readBytes(std::string(NRV_SOURCE_DIR) + "/fuzz/corpus/keychain_file/two-items");
    ASSERT_GT(seed.size(), 32u);
    std::vector<std::uint8_t> file(seed.begin(), seed.end() - 32);
    file.resize(file.size() + 32);
    file.insert(file.end(), seed.end() - 32, seed.end());
    refreshChecksum(file);
    const std::string path = dir / "seed.keychain";
    writeBytes(path, file);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);

    auto keychain = kc::Keychain::open(path);
    ASSERT_EQ(status(keychain->unlock("fuzz password", &e)), st::success);
    std::size_t items = 0, secrets = 0;
    for (kc::ItemClass itemClass : {kc::ItemClass::GenericPassword, kc::ItemClass::Certificate,
                                    kc::ItemClass::PublicKey, kc::ItemClass::PrivateKey,
                                    kc::ItemClass::SymmetricKey}) {
        std::vector<kc::Item> found;
        if (!keychain->find(itemClass, {}, 100, &found)) continue;
        for (const kc::Item& item : found) {
            ++items;
            kc::SecureBytes secret;
            ASSERT_EQ(status(keychain->copySecret(item.id, &secret, &e)), st::success);
            if (!item.hasSecret) continue;
            ++secrets;
            EXPECT_FALSE(secret.empty());
        }
    }
    EXPECT_EQ(items, 2u);
    EXPECT_GE(secrets, 1u);

    ASSERT_EQ(status(keychain->setMetadataValue("absent", NRVValue(), &e)), st::success)
        << "a change that changes nothing";
    EXPECT_EQ(readBytes(path), file);
}

}  // namespace
