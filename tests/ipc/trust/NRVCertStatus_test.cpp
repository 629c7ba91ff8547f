#include "ipc/trust/NRVCertStatus.h"

#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "ipc/keychain/NRVSystemKeychain.h"
#include "platform/log/LogStore.h"
#include "support/TestSupport.h"

namespace plog = platform::log;

namespace {

// Certificates and OCSP responses made by the openssl program for this run,
// with the run's own root as the only system anchor.
class CertStatusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new testsupport::TempDir();
        auto made = testsupport::runProgram(
            {"/bin/bash", NRV_SOURCE_DIR "/tests/ipc/trust/make_cert_status_certificates.sh", dir_->path()});
        ASSERT_EQ(made.status, 0) << made.err;
        anchors_ = new testsupport::ScopedEnv("NRV_ANCHOR_CERTIFICATES", *dir_ / "root.pem");
        NRVSystemKeychain::refreshRootCAs();
    }
    static void TearDownTestSuite() {
        delete anchors_;
        NRVSystemKeychain::refreshRootCAs();
        delete dir_;
    }
    void SetUp() override { plog::setSink(capture_); }
    void TearDown() override { plog::setSink(nullptr); }

    static NRVCertificateRef certificate(const std::string& name) {
        const std::string pem = testsupport::readText(*dir_ / (name + ".pem"));
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        X509* x509 = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        EXPECT_TRUE(x509) << name;
        NRVCertificateRef made = x509 ? NRVCertificate::createWithX509(x509) : nullptr;
        X509_free(x509);
        return made;
    }
    static std::vector<NRVCertificateRef> chain(const std::vector<std::string>& names) {
        std::vector<NRVCertificateRef> out;
        for (const auto& name : names) out.push_back(certificate(name));
        return out;
    }
    static NRVData response(const std::string& name) {
        const std::string bytes = testsupport::readText(*dir_ / name);
        EXPECT_FALSE(bytes.empty()) << name;
        return NRVData(bytes.begin(), bytes.end());
    }
    bool loggedError(const std::string& text) const {
        for (const auto& r : capture_->records())
            if (r.category == "modernweb" && r.level == plog::Level::Error && r.message == text) return true;
        return false;
    }

    static testsupport::TempDir* dir_;
    static testsupport::ScopedEnv* anchors_;
    std::shared_ptr<plog::CaptureSink> capture_ = std::make_shared<plog::CaptureSink>();
};

testsupport::TempDir* CertStatusTest::dir_ = nullptr;
testsupport::ScopedEnv* CertStatusTest::anchors_ = nullptr;

TEST_F(CertStatusTest, TrustFollowsThePathToTheSystemAnchors) {
    struct Case {
        const char* name;
        std::vector<std::string> chain;
        long expected;
    } cases[] = {
        {"leaf and intermediate up to the anchor", {"good", "intermediate"}, 0},
        {"an expired leaf is allowed", {"expired", "intermediate"}, 0},
        {"self-signed", {"self"}, 1},
        {"intermediate missing", {"good"}, 1},
        {"intermediate of an unrelated authority", {"good", "other"}, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(NRVCertStatus::checkTrustStatus(chain(c.chain)), c.expected) << c.name;

    EXPECT_EQ(NRVCertStatus::checkTrustStatus({}), 2);
    EXPECT_TRUE(loggedError("Could not create trust object with given certificate status code: -50"));
}

TEST_F(CertStatusTest, RevocationComesOnlyFromAVerifiedStapledResponse) {
    struct Case {
        const char* name;
        std::vector<std::string> chain;
        std::optional<std::string> response;
        long expected;
    } cases[] = {
        {"answered good", {"good", "intermediate"}, "good.ocsp", 0},
        {"answered revoked", {"revoked", "intermediate"}, "revoked.ocsp", 3},
        {"no response, nothing fetched", {"good", "intermediate"}, std::nullopt, 2},
        {"a response about another certificate", {"good", "intermediate"}, "revoked.ocsp", 2},
        {"signed by an unrelated authority", {"good", "intermediate"}, "foreign.ocsp", 2},
        {"expired leaf answered good", {"expired", "intermediate"}, "expired.ocsp", 2},
        {"self-signed leaf", {"self"}, "good.ocsp", 2},
    };
    for (const auto& c : cases) {
        for (bool offline : {true, false}) {
            std::optional<NRVData> stapled;
            if (c.response) stapled = response(*c.response);
            EXPECT_EQ(NRVCertStatus::checkRevocationStatus(chain(c.chain), offline, stapled), c.expected)
                << c.name << (offline ? " (offline)" : " (online)");
        }
    }
    EXPECT_FALSE(loggedError("Failed to attach OCSP response to trust object status: -26275"));
}

TEST_F(CertStatusTest, UnusableInputIsReportedByCodeAndLog) {
    const std::string text = "not an OCSP response";
    EXPECT_EQ(NRVCertStatus::checkRevocationStatus(chain({"good", "intermediate"}), true,
                                                   NRVData(text.begin(), text.end())),
              2);
    EXPECT_TRUE(loggedError("Failed to attach OCSP response to trust object status: -26275"));

    NRVData truncated = response("good.ocsp");
    truncated.resize(truncated.size() / 2);
    EXPECT_EQ(NRVCertStatus::checkRevocationStatus(chain({"good", "intermediate"}), true, truncated), 2);

    EXPECT_EQ(NRVCertStatus::checkRevocationStatus({}, true, response("good.ocsp")), 2);
    EXPECT_TRUE(loggedError("Failed creating trust object with status code: -50"));
    EXPECT_EQ(NRVCertStatus::checkTrustStatus({nullptr}), 2);
}

}  // namespace
