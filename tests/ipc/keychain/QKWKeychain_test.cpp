#include "ipc/keychain/QKWKeychain.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <functional>
#include <thread>

#include "foundation/NSDataBase64.h"
#include "ipc/keychain/MDWKeychain.h"
#include "ipc/keychain/NRVKeychain.h"
#include "ipc/keychain/QKWCertificateInfo.h"
#include "ipc/keychain/QKWKeychainItem.h"
#include "ipc/keychain/KeychainFixture.h"
#include "ipc/TestCertificates.h"
#include "platform/log/LogStore.h"

namespace {

NRVData dataOf(const std::string& text) { return NRVData(text.begin(), text.end()); }

std::string pemOf(const NRVData& der, const char* lineEnd) {
    std::string base64 = Base64::base64EncodedString(der);  // CR LF every 64 characters
    std::string body;
    for (char c : base64) {
        if (c == '\r') continue;
        if (c == '\n') body += lineEnd;
        else body += c;
    }
    return std::string("-----BEGIN CERTIFICATE-----") + lineEnd + body + lineEnd + "-----END CERTIFICATE-----" + lineEnd;
}

using QKWKeychainTest = KeychainFixture;

TEST_F(QKWKeychainTest, StatusCodesBySituation) {
    QKWKeychain& kc = QKWKeychain::shared();
    ASSERT_TRUE(kc.isKeychainAccessible());
    ASSERT_TRUE(kc.addItemForService("svc", "ann", "pw", std::nullopt));
    NRVDictionary empty;
    struct Case {
        const char* situation;
        std::function<bool(NRVError*)> call;
        const char* domain;
        std::int64_t code;
    };
    const char* qkw = QKWKeychain::kErrorDomain;
    const char* custom = NRVKeychain::kErrorDomain;
    const Case cases[] = {
        {"data for a blank key", [&](NRVError* e) { return kc.setData(dataOf("x"), " ", e); }, qkw, 8},
        {"reading a blank key", [&](NRVError* e) { return kc.dataForKey("  ", e).has_value(); }, qkw, 9},
        {"reading an unknown key", [&](NRVError* e) { return kc.dataForKey("nothing", e).has_value(); }, qkw, 9},
        {"removing an unknown key", [&](NRVError* e) { return kc.removeKey("nothing", e); }, qkw, 10},
        {"finding a blank tag", [&](NRVError* e) { return kc.findKeyWithTag("", e) != nullptr; }, qkw, 11},
        {"finding an unknown tag", [&](NRVError* e) { return kc.findKeyWithTag("none", e) != nullptr; }, qkw, -25300},
        {"adding an existing user item",
         [&](NRVError* e) { return kc.addItemForService("svc", "ann", "pw", std::nullopt, e) != nullptr; }, qkw,
         -25299},
        {"PEM without a body",
         [&](NRVError* e) { return kc.createFromPEMCertificate("-----BEGIN CERTIFICATE-----\n", e) != nullptr; }, qkw,
         1},
        {"DER that is no certificate", [&](NRVError* e) { return kc.addToKeychainDERCertificate(dataOf("junk"), e); },
         qkw, 1},
        {"deleting without a subject", [&](NRVError* e) { return kc.deleteCertificateWithSubjectInfo(&empty, e); }, qkw,
         4},
        {"finding none of several subjects",
         [&](NRVError* e) { return kc.findCertificatesWithSubjectsInfo({empty}, e).has_value(); }, qkw, 3},
        {"signing request for a label without the key prefix",
         [&](NRVError* e) { return kc.createCertificateSigningRequestWithKeyLabel("short", e).has_value(); }, qkw,
         -50},
        {"a custom keychain by location", [&](NRVError* e) { return NRVKeychain::getKeychain(3, e) != nullptr; },
         custom, 22},
        {"exporting no key", [&](NRVError* e) { return NRVKeychain::exportKey(nullptr, e).has_value(); }, custom, -50},
        {"a stored key without a tag",
         [&](NRVError* e) { return NRVKeychain::createKey("", true, 0, 1, std::nullopt, e) != nullptr; }, custom, 22},
        {"deleting by subject without a serial",
         [&](NRVError* e) {
             NRVDictionary subject;
             subject.set("2.5.4.10", "Org");
             return NRVKeychain::deleteCertificateWithSubjectInfoAndSerialNumber(nullptr, &subject, " ", e);
         },
         custom, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.situation);
        NRVError error;
        EXPECT_FALSE(c.call(&error));
        EXPECT_EQ(error.domain, c.domain);
        EXPECT_EQ(error.code, c.code);
        EXPECT_FALSE(error.localizedDescription.empty());
    }

    // The product keychain file made with another password: the unlock fails
    // with the platform's wrong-password status.
    kc.closeKeychain();
    std::remove(productKeychainPath().c_str());
    std::shared_ptr<platform::keychain::Keychain> other;
    ASSERT_TRUE(platform::keychain::Keychain::create(productKeychainPath(), "not the product's", &other));
    NRVError error;
    EXPECT_FALSE(kc.isKeychainAccessible(&error));
    EXPECT_EQ(error.code, -25293);
}

TEST_F(QKWKeychainTest, DataItemsAreReplacedInPlaceAndNeverStoredInClear) {
    QKWKeychain& kc = QKWKeychain::shared();
    auto capture = std::make_shared<platform::log::CaptureSink>();
    platform::log::setSink(capture);
    ASSERT_TRUE(kc.setData(dataOf("first-secret"), "config"));
    ASSERT_TRUE(kc.setData(dataOf("second-secret"), "config"));
    NRVError error;
    EXPECT_FALSE(kc.setData(dataOf("third-secret"), "", &error));
    platform::log::setSink(nullptr);

    EXPECT_EQ(kc.dataForKey("config"), dataOf("second-secret"));
    std::string file = fileText(productKeychainPath());
    EXPECT_EQ(file.find("secret"), std::string::npos);
    auto item = kc.itemForService("config", std::nullopt);
    ASSERT_TRUE(item);
    EXPECT_FALSE(item->username.has_value());  // the replaced data did not land in the account
    EXPECT_EQ(error.localizedDescription, "Failed to set the data '<redacted>' for key '' to the Nerova keychain");
    for (const auto& record : capture->records()) EXPECT_EQ(record.message.find("secret"), std::string::npos) << record.message;

    EXPECT_TRUE(kc.removeKey("config"));
    EXPECT_FALSE(kc.dataForKey("config"));
}

TEST_F(QKWKeychainTest, UserItemsRoundTripAndChange) {
    QKWKeychain& kc = QKWKeychain::shared();
    const std::string password = "pässwörd-ü";  // more UTF-8 bytes than UTF-16 units
    auto item = kc.addItemForService("mail", "ann", password, "Mail account");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->serviceName(), "mail");
    EXPECT_EQ(item->username, "ann");
    EXPECT_EQ(item->password, password);
    EXPECT_EQ(QKWKeychainItem::getKeychainAttribute("desc", item->coreKeychainItem())->asString()[0], "Mail account");
    EXPECT_EQ(*QKWKeychainItem::getKeychainAttribute("invi", item->coreKeychainItem())->asInteger(), 0);

    ASSERT_TRUE(item->setUsername("bob", "new-pw"));
    item->setServiceName("mail2");
    item->setLabel("Mail 2");
    EXPECT_EQ(item->label(), "Mail 2");
    EXPECT_FALSE(item->setUsername(" ", "x"));
    auto again = kc.itemForService("mail2", "bob");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->password, "new-pw");
    EXPECT_FALSE(kc.itemForService("mail", "ann"));

    // A one-byte flag reads as a number.
    NRVDictionary oneByte;
    oneByte.set("invi", NRVData{1});
    ASSERT_TRUE(again->coreKeychainItem().keychain->modify(again->coreKeychainItem().itemID, oneByte));
    EXPECT_EQ(*QKWKeychainItem::getKeychainAttribute("invi", again->coreKeychainItem())->asInteger(), 1);

    NRVError untouched(QKWKeychain::kErrorDomain, 12345);
    EXPECT_FALSE(kc.itemForService("unknown", "ann", &untouched));
    EXPECT_EQ(untouched.code, 12345);
}

TEST_F(QKWKeychainTest, KeysByTag) {
    QKWKeychain& kc = QKWKeychain::shared();
    NRVKeyRef key = NRVKey::generate(NRVKey::kKeyTypeEC, 256);
    ASSERT_TRUE(kc.addToKeychainKey(key, "com.nerova.tag"));
    NRVError error;
    EXPECT_FALSE(kc.addToKeychainKey(key, "com.nerova.tag", &error));
    EXPECT_EQ(error.code, -25299);
    NRVKeyRef found = kc.findKeyWithTag("com.nerova.tag");
    ASSERT_TRUE(found);
    EXPECT_EQ(EVP_PKEY_eq(found->pkey(), key->pkey()), 1);
    EXPECT_EQ(fileText(productKeychainPath()).find(std::string(key->data().view())), std::string::npos);
    EXPECT_TRUE(kc.deleteKeyWithTag("com.nerova.tag"));
    EXPECT_FALSE(kc.findKeyWithTag("com.nerova.tag"));
    EXPECT_FALSE(kc.deleteKeyWithTag("com.nerova.tag"));
}

TEST_F(QKWKeychainTest, SigningRequestVerifiesAndItsKeyMakesAnIdentity) {
    QKWKeychain& kc = QKWKeychain::shared();
    const std::string label = "com.nerova.dudaz.key.device42";
    std::optional<std::string> pem = kc.csrInPEMFormatWithKeyLabel(label);
    ASSERT_TRUE(pem);
    EXPECT_EQ(pem->rfind("-----BEGIN CERTIFICATE REQUEST-----\n", 0), 0u);
    EXPECT_EQ(pem->find('\r'), std::string::npos);

    BIO* bio = BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size()));
    X509_REQ* request = PEM_read_bio_X509_REQ(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ASSERT_TRUE(request);
    EVP_PKEY* requestKey = X509_REQ_get0_pubkey(request);
    EXPECT_EQ(X509_REQ_verify(request, requestKey), 1);
    EXPECT_EQ(X509_REQ_get_signature_nid(request), NID_sha256WithRSAEncryption);
    EXPECT_EQ(EVP_PKEY_get_bits(requestKey), 2048);
    char subject[256];
    X509_NAME_oneline(X509_REQ_get_subject_name(request), subject, sizeof subject);
    EXPECT_STREQ(subject, "/CN=com.nerova.dudaz.device42/O=Nerova Plc/C=UK/OU=DUDAZ");

    // The stored public key is the request's.
    std::optional<NRVData> raw = kc.getPublicKeyDataForKeyLabel(label);
    ASSERT_TRUE(raw);
    unsigned char* der = nullptr;
    int length = i2d_PublicKey(requestKey, &der);
    EXPECT_EQ(*raw, NRVData(der, der + length));
    OPENSSL_free(der);

    // A certificate issued for the request pairs with the stored private key.
    testcerts::Recipe caRecipe;
    caRecipe.subject = {{"CN", "Test CA"}};
    caRecipe.isCA = true;
    testcerts::Issued ca = testcerts::issue(caRecipe);
    EVP_PKEY_up_ref(requestKey);
    testcerts::Recipe leafRecipe;
    leafRecipe.subject = {{"CN", "com.nerova.dudaz.device42"}, {"O", "Nerova Plc"}};
    testcerts::Issued leaf =
        testcerts::issue(leafRecipe, &ca, NRVKey::adopt(requestKey, NRVKey::KeyClass::Public));
    X509_REQ_free(request);
    ASSERT_TRUE(kc.addToKeychainCertificate(leaf.certificate));
    NRVDictionary subjectInfo = QKWCertificateInfo::subjectInfoFromCertificate(leaf.certificate);
    auto identity = kc.identityCreateWithCertificate(&subjectInfo);
    ASSERT_TRUE(identity);
    ASSERT_EQ(identity->size(), 1u);
    EXPECT_EQ(X509_check_private_key(leaf.certificate->x509(), identity->front().privateKey->pkey()), 1);

    EXPECT_TRUE(kc.deleteKeyPairWithKeyLabel(label));
    NRVError error;
    EXPECT_FALSE(kc.getPublicKeyDataForKeyLabel(label, &error));
    EXPECT_EQ(error.code, -25300);
    EXPECT_TRUE(kc.deleteKeyPairWithKeyLabel(label));  // nothing left, and still true
}

TEST_F(QKWKeychainTest, CertificatesBySubjectPEMFormsAndDeletion) {
    QKWKeychain& kc = QKWKeychain::shared();
    testcerts::Recipe recipe;
    recipe.subject = {{"CN", "first"}, {"CN", "second"}, {"O", "Nerova"}};
    recipe.serial = 0x1234;
    testcerts::Issued cert = testcerts::issue(recipe);

    // Windows line ends and both marker lines decode to the DER certificate.
    NRVCertificateRef fromPEM = kc.createFromPEMCertificate(pemOf(cert.certificate->data(), "\r\n"));
    ASSERT_TRUE(fromPEM);
    EXPECT_EQ(fromPEM->data(), cert.certificate->data());
    ASSERT_TRUE(kc.addToKeychainPEMCertificate(pemOf(cert.certificate->data(), "\n")));
    EXPECT_TRUE(kc.addToKeychainDERCertificate(cert.certificate->data()));  // already there: still YES

    // The length limit sits at exactly 1,048,576 characters of body.
    NRVError error;
    EXPECT_FALSE(kc.createFromPEMCertificate(std::string(0x100000, 'A'), &error));
    EXPECT_EQ(error.localizedDescription, "Decoding certificate failed.");
    EXPECT_FALSE(kc.createFromPEMCertificate(std::string(0x100001, 'A'), &error));
    EXPECT_EQ(error.localizedDescription, "Certificate exceeded maximum length.");

    NRVDictionary subject = QKWCertificateInfo::subjectInfoFromCertificate(cert.certificate);
    EXPECT_EQ(*subject.find("2.5.4.3"), NRVValue(NRVArray{NRVValue("first"), NRVValue("second")}));
    ASSERT_TRUE(kc.findCertificateWithSubjectInfo(&subject));
    NRVError untouched(QKWKeychain::kErrorDomain, 12345);
    EXPECT_FALSE(kc.findCertificateWithSubjectInfo(&subject, std::string("00 00"), &untouched));
    EXPECT_EQ(untouched.code, 12345);
    EXPECT_TRUE(kc.findCertificateWithSubjectInfo(&subject, std::string("12 34")));
    EXPECT_EQ(kc.findCertificatesWithSubjectNameMatching("second")->size(), 1u);
    EXPECT_FALSE(kc.findCertificatesWithSubjectNameMatching("secon"));
    EXPECT_EQ(kc.getAllCertificates()->size(), 1u);

    EXPECT_FALSE(kc.deleteCertificateBySubjectNameMatching("", &untouched));
    EXPECT_EQ(untouched.code, 12345);
    EXPECT_TRUE(kc.deleteCertificateWithSubjectInfo(&subject, std::string("00 00")));  // no match: YES
    EXPECT_EQ(kc.getAllCertificates()->size(), 1u);
    EXPECT_TRUE(kc.deleteCertificateWithSubjectInfo(&subject));
    EXPECT_FALSE(kc.getAllCertificates());
}

TEST_F(QKWKeychainTest, PublicKeyComesOutWhateverTheCertificateIsTrustedFor) {
    QKWKeychain& kc = QKWKeychain::shared();
    testcerts::Recipe caRecipe;
    caRecipe.subject = {{"CN", "Unknown CA"}};
    caRecipe.isCA = true;
    testcerts::Issued ca = testcerts::issue(caRecipe);
    testcerts::Recipe expired, selfSigned, clientOnly, brokenChain;
    expired.notBeforeOffset = -7200;
    expired.notAfterOffset = -3600;
    clientOnly.extendedKeyUsage = "clientAuth";
    struct Case {
        const char* kind;
        testcerts::Issued issued;
    };
    const Case cases[] = {
        {"expired", testcerts::issue(expired, &ca)},
        {"self-signed", testcerts::issue(selfSigned)},
        {"of another purpose", testcerts::issue(clientOnly, &ca)},
        {"with a chain to an unknown root", testcerts::issue(brokenChain, &ca)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        std::optional<NRVData> pem = kc.getPublicKeyDataFromCertificate(c.issued.certificate);
        ASSERT_TRUE(pem);
        EXPECT_EQ(std::string(pem->begin(), pem->end()), c.issued.key->publicKeyPEM());
    }
    EXPECT_FALSE(kc.getPublicKeyDataFromCertificate(nullptr));
}

// On the subclass, every operation works on the subclass's file, except the
// inner steps that always go to the product keychain: the adding step of the
// DER and PEM adds, the searches inside the several-subjects, serial-number
// and identity look-ups, the read-back after adding an item, and the request
// (with its key pair) of the PEM signing request.
TEST_F(QKWKeychainTest, SubclassUsesItsOwnFileExceptForTheInnerSteps) {
    MDWKeychain& mdw = MDWKeychain::shared();
    QKWKeychain& qkw = QKWKeychain::shared();
    auto count = [](const std::optional<std::vector<NRVData>>& all) { return all ? all->size() : 0u; };

    ASSERT_TRUE(mdw.setData(dataOf("value"), "k"));
    EXPECT_TRUE(testsupport::exists(secondKeychainPath()));
    EXPECT_FALSE(testsupport::exists(productKeychainPath()));
    EXPECT_EQ(mdw.dataForKey("k"), dataOf("value"));
    EXPECT_EQ(mdw.getKeychainPassword().size(), 64u);
    EXPECT_NE(mdw.getKeychainPassword(), qkw.getKeychainPassword());

    // The item lands in the subclass's file; its read-back comes from the
    // product keychain, here an item of the same names made before.
    ASSERT_TRUE(qkw.addItemForService("svc", "ann", "product", std::nullopt));
    auto readBack = mdw.addItemForService("svc", "ann", "second", std::nullopt);
    ASSERT_TRUE(readBack);
    EXPECT_EQ(readBack->password, "product");
    EXPECT_EQ(mdw.itemForService("svc", "ann")->password, "second");
    EXPECT_FALSE(mdw.addItemForService("svc", "bob", "second", std::nullopt)) << "no such item to read back";
    EXPECT_TRUE(mdw.itemForService("svc", "bob"));

    // DER and PEM adds go to the product keychain.
    testcerts::Issued der = testcerts::issue({{{"CN", "der"}}, 7});
    testcerts::Issued pem = testcerts::issue({{{"CN", "pem"}}, 8});
    ASSERT_TRUE(mdw.addToKeychainDERCertificate(der.certificate->data()));
    ASSERT_TRUE(mdw.addToKeychainPEMCertificate(pemOf(pem.certificate->data(), "\n")));
    EXPECT_EQ(count(qkw.getAllCertificates()), 2u);
    EXPECT_EQ(count(mdw.getAllCertificates()), 0u);

    // The direct find searches the subclass's file; the inner searches the
    // product keychain.
    const NRVDictionary subject = QKWCertificateInfo::subjectInfoFromCertificate(der.certificate);
    EXPECT_FALSE(mdw.findCertificateWithSubjectInfo(&subject));
    EXPECT_TRUE(mdw.findCertificateWithSubjectInfo(&subject, QKWCertificateInfo::serialNumberFromCertificate(der.certificate)));
    EXPECT_TRUE(mdw.findCertificatesWithSubjectsInfo({subject}));
    NRVError error;
    EXPECT_FALSE(mdw.identityCreateWithCertificate(&subject, &error));
    EXPECT_EQ(error.code, 5) << "found, but no private key in the subclass's file: " << error.localizedDescription;

    // The PEM request is made by the product keychain, and its key pair kept
    // there; the DER request keeps its pair in the keychain it was sent to.
    ASSERT_TRUE(mdw.csrInPEMFormatWithKeyLabel("com.nerova.dudaz.key.pem"));
    EXPECT_TRUE(qkw.getPublicKeyDataForKeyLabel("com.nerova.dudaz.key.pem"));
    EXPECT_FALSE(mdw.getPublicKeyDataForKeyLabel("com.nerova.dudaz.key.pem"));
    ASSERT_TRUE(mdw.createCertificateSigningRequestWithKeyLabel("com.nerova.dudaz.key.der"));
    EXPECT_TRUE(mdw.getPublicKeyDataForKeyLabel("com.nerova.dudaz.key.der"));
    EXPECT_FALSE(qkw.getPublicKeyDataForKeyLabel("com.nerova.dudaz.key.der"));

    EXPECT_FALSE(qkw.dataForKey("k"));
    EXPECT_TRUE(qkw.deleteKeychain());
    EXPECT_EQ(mdw.dataForKey("k"), dataOf("value"));
}

TEST_F(QKWKeychainTest, RemovedFileIsMadeAgainOnNextUse) {
    QKWKeychain& kc = QKWKeychain::shared();
    ASSERT_TRUE(kc.setData(dataOf("v"), "k"));
    std::remove(productKeychainPath().c_str());
    EXPECT_TRUE(kc.isKeychainAccessible());
    EXPECT_TRUE(testsupport::exists(productKeychainPath()));
    EXPECT_FALSE(kc.dataForKey("k"));
    EXPECT_TRUE(kc.deleteKeychain());
    EXPECT_FALSE(kc.deleteKeychain());
}

}  // namespace

namespace {

TEST_F(QKWKeychainTest, ThreadsSharingTheClassLoseNoItem) {
    constexpr int kPerThread = 40;
    auto work = [](int t) {
        for (int i = 0; i < kPerThread; ++i) {
            const std::string key = std::string("k").append(std::to_string(t)).append("-").append(std::to_string(i));
            EXPECT_TRUE(QKWKeychain::shared().setData(NRVData(key.begin(), key.end()), key));
        }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    for (int t = 0; t < 2; ++t)
        for (int i = 0; i < kPerThread; ++i) {
            const std::string key = std::string("k").append(std::to_string(t)).append("-").append(std::to_string(i));
            EXPECT_EQ(QKWKeychain::shared().dataForKey(key), NRVData(key.begin(), key.end()));
        }
}

}  // namespace
