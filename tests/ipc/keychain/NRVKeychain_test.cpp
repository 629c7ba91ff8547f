#include "ipc/keychain/NRVKeychain.h"

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "ipc/keychain/KeychainFixture.h"
#include "ipc/keychain/QKWCertificateInfo.h"
#include "ipc/keychain/QRBKeychainPasswordGenerator.h"
#include "ipc/TestCertificates.h"
#include "platform/log/LogStore.h"

namespace {

using NRVKeychainTest = KeychainFixture;

// The redirect mode cannot be switched off again, so tests of it run in a
// child process; the child's findings come back as text.
std::string inChild(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return "<pipe failed>";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string result = body();
        (void)!::write(fds[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

TEST_F(NRVKeychainTest, RedirectModeSendsTheSystemKeychainToATestFile) {
    std::string redirected = root / "redirect.keychain";
    std::string report = inChild([&] {
        std::string r;
        NRVKeychain::setRedirectSystemMode(std::string(), std::nullopt);
        r += NRVKeychain::getRedirectSystemKeychainFilePath() + "|" + NRVKeychain::getRedirectSystemKeychainPassword();
        NRVKeychain::setRedirectSystemMode("/no-such-folder/k.keychain", "pw");
        r.append("|").append(NRVKeychain::getRedirectSystemKeychainFilePath());
        NRVKeychain::setRedirectSystemMode(redirected, "secret");
        NRVError error;
        testcerts::Issued cert = testcerts::issue({});
        r += NRVKeychain::addToKeychainDERCertificate(2, cert.certificate->data(), &error) ? "|added" : "|not added";
        r += testsupport::exists(redirected) ? "|redirected" : "|missing";
        NRVError untouched(NRVKeychain::kErrorDomain, 12345);
        r += NRVKeychain::setCertificateTrust(cert.certificate, true, &untouched) ? "|trusted" : "|refused";
        r.append("|").append(std::to_string(untouched.code));
        return r;
    });
    EXPECT_EQ(report, "/Downloads/TestKeychain.keychain|kiwi482|" + home.path() +
                          "/no-such-folder/k.keychain|added|redirected|refused|12345");
}

TEST_F(NRVKeychainTest, CustomKeychainFiles) {
    std::string path = root / "custom.keychain";
    testcerts::Issued cert = testcerts::issue({});
    ASSERT_TRUE(NRVKeychain::addToCustomKeychainDERCertificate(path, "pw", cert.certificate->data()));
    EXPECT_TRUE(NRVKeychain::addToCustomKeychainDERCertificate(path, "pw", cert.certificate->data()));
    auto all = NRVKeychain::getAllCertificatesFromCustomKeychain(path, "pw");
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 1u);
    EXPECT_EQ(all->front(), cert.certificate->data());

    // An existing file opens whatever the password; changes then need the right one.
    NRVError error;
    EXPECT_TRUE(NRVKeychain::createKeychain(path, "wrong", &error));
    platform::keychain::Keychain::open(path)->lock();
    testcerts::Recipe other;
    other.serial = 2;
    EXPECT_FALSE(NRVKeychain::addToCustomKeychainDERCertificate(path, "wrong", testcerts::issue(other).certificate->data(),
                                                                &error));
    EXPECT_EQ(error.code, -25308);
    EXPECT_FALSE(NRVKeychain::isKeychainAccessible(path, "", &error));
    EXPECT_FALSE(NRVKeychain::isKeychainAccessible("  ", "pw", &error));

    NRVDictionary subject = QKWCertificateInfo::subjectInfoFromCertificate(cert.certificate);
    auto keychain = NRVKeychain::getCustomKeychain(path, "pw");
    EXPECT_TRUE(NRVKeychain::deleteCertificateWithSubjectInfoAndSerialNumber(keychain, &subject, "99"));
    EXPECT_EQ(NRVKeychain::getAllCertificatesFromCustomKeychain(path, "pw")->size(), 1u);
    EXPECT_TRUE(NRVKeychain::deleteCertificateWithSubjectInfoAndSerialNumber(
        keychain, &subject, *QKWCertificateInfo::serialNumberFromCertificate(cert.certificate)));
    EXPECT_TRUE(NRVKeychain::getAllCertificatesFromCustomKeychain(path, "pw")->empty());
    EXPECT_TRUE(NRVKeychain::deleteCustomKeychain(path, "pw"));
    EXPECT_FALSE(testsupport::exists(path));
}

TEST_F(NRVKeychainTest, AdministratorTrustOfASystemKeychainCertificate) {
    testcerts::Recipe recipe;
    recipe.subject = {{"CN", "Nerova Root"}};
    recipe.isCA = true;
    testcerts::Issued root = testcerts::issue(recipe);
    NRVError error;
    ASSERT_TRUE(NRVKeychain::addToKeychainDERCertificate(2, root.certificate->data(), &error));
    EXPECT_EQ(NRVKeychain::getCertificateDataBySubjectNameMatching(2, "Nerova Root"), root.certificate->data());
    EXPECT_FALSE(NRVKeychain::isRootCATrusted(2, "Nerova Root", &error));
    EXPECT_EQ(error.localizedDescription, "Failed to get certificate trust.");

    ASSERT_TRUE(NRVKeychain::setCertificateTrustBySubjectNameMatching(2, "Nerova Root", true));
    auto settings = NRVKeychain::isRootCATrusted(2, "Nerova Root");
    ASSERT_TRUE(settings);
    EXPECT_TRUE(settings->empty());  // a root for every use
    ASSERT_TRUE(NRVKeychain::setCertificateTrust(root.certificate, false));
    EXPECT_FALSE(NRVKeychain::isRootCATrusted(2, "Nerova Root"));
    EXPECT_FALSE(NRVKeychain::setCertificateTrust(root.certificate, false, &error));
    EXPECT_EQ(error.localizedDescription, "Failed to remove certificate trust.");

    EXPECT_FALSE(NRVKeychain::isRootCATrusted(2, "Nobody", &error));
    EXPECT_EQ(error.code, 22);
    EXPECT_TRUE(NRVKeychain::deleteCertificateBySubjectNameMatching(2, "Nerova Root"));
    EXPECT_FALSE(NRVKeychain::getCertificateRefBySubjectNameMatching(2, "Nerova Root", &error));
    EXPECT_EQ(error.code, -25300);
}

TEST_F(NRVKeychainTest, KeysBySizeTypeAndTag) {
    struct Case {
        bool isRSA;
        int requested;
        int made;
    };
    const Case cases[] = {{true, 0, 2048}, {false, 0, 256}, {false, 1024, 256}, {false, 384, 384}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.requested));
        NRVKeyRef key = NRVKeychain::createKey("com.nerova.k", c.isRSA, c.requested, 1, "label");
        ASSERT_TRUE(key);
        EXPECT_EQ(key->bits(), c.made);
        EXPECT_EQ(key->keyType(), c.isRSA ? NRVKey::kKeyTypeRSA : NRVKey::kKeyTypeEC);
    }
    // Made non-persistent: nothing to find under the tag afterwards.
    NRVError error;
    EXPECT_FALSE(NRVKeychain::getKey("com.nerova.k", 1, &error));
    EXPECT_EQ(error.code, -25300);
    EXPECT_TRUE(NRVKeychain::createKey("", false, 0, 0, std::nullopt));  // no keychain, no tag needed

    NRVKeyRef key = NRVKeychain::createKey("t", false, 256, 1, std::nullopt);
    ASSERT_TRUE(NRVSecItem::addKey(NRVKeychain::getKeychain(1), *key, NRVData{'t'}, std::string("t")) == 0);
    NRVKeyRef found = NRVKeychain::getKey("t", 1);
    ASSERT_TRUE(found);
    EXPECT_EQ(NRVKeychain::exportKey(found), NRVKeychain::exportKey(key));
    EXPECT_TRUE(NRVKeychain::deleteKey("t", 1));
    EXPECT_FALSE(NRVKeychain::deleteKey("t", 1, &error));
    EXPECT_EQ(error.localizedDescription, "Failed to delete key t");
}

TEST_F(NRVKeychainTest, PasswordsFromTheSerialNumber) {
    std::string password = QRBKeychainPasswordGenerator::generateKeychainPassword();
    EXPECT_EQ(password.size(), 12u);
    EXPECT_EQ(password.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(QRBKeychainPasswordGenerator::generateKeychainPasswordForSerialNumber(std::string("OTHER")).substr(0, 12),
              password);
    EXPECT_NE(QRBKeychainPasswordGenerator::getUniqueId(1), QRBKeychainPasswordGenerator::getUniqueId(2));

    // Without a serial number every machine shares one password, with a warning.
    std::remove((root / "sys/class/dmi/id/product_serial").c_str());
    auto capture = std::make_shared<platform::log::CaptureSink>();
    platform::log::setSink(capture);
    std::string fallback = QRBKeychainPasswordGenerator::generateKeychainPassword();
    platform::log::setSink(nullptr);
    EXPECT_EQ(fallback, QRBKeychainPasswordGenerator::generateKeychainPasswordForSerialNumber(std::string("(null)"))
                            .substr(0, 12));
    bool warned = false;
    for (const auto& record : capture->records())
        warned = warned || record.message.find("No machine serial number") != std::string::npos;
    EXPECT_TRUE(warned);
}

}  // namespace
