#include "net/session/NRVServerTrust.h"

#include <gtest/gtest.h>

#include "net/session/NRVServerAuthenticator.h"
#include "net/broker/NRVURLBrokerConfiguration.h"
#include "net/NetTestCertificates.h"
#include "platform/log/LogStore.h"
#include "support/TestSupport.h"

namespace {

using nettest::ServerRecipe;

// A trust whose evaluation gives a chosen result: how the platform answers
// for a chain with a user trust setting, which this machine never has.
class FixedResultTrust : public NRVServerTrust {
public:
    FixedResultTrust(NRVCertificateRef leaf, NRVTrustResult result)
        : NRVServerTrust({std::move(leaf)}, "localhost"), result_(result) {}
    NRVTrustResult evaluate(std::string*) override { return result_; }

private:
    NRVTrustResult result_;
};

class ServerTrustTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::writeText(dir_ / "anchors.pem", nettest::pem({root_.certificate}));
        anchorsEnv_ = std::make_unique<testsupport::ScopedEnv>("NRV_ANCHOR_CERTIFICATES", dir_ / "anchors.pem");
        NRVSystemKeychain::refreshRootCAs();
        platform::log::setSink(capture_);
    }
    void TearDown() override {
        platform::log::setSink(nullptr);
        anchorsEnv_.reset();
        NRVSystemKeychain::refreshRootCAs();
    }

    static NRVURLAuthenticationChallenge trustChallenge(NRVServerTrustRef trust) {
        NRVURLAuthenticationChallenge c;
        c.protectionSpace.host = "127.0.0.1";
        c.protectionSpace.protocol = "https";
        c.protectionSpace.authenticationMethod = NRVURLAuthenticationMethod::kServerTrust;
        c.protectionSpace.serverTrust = std::move(trust);
        return c;
    }
    std::vector<std::string> messages(const std::string& category) const {
        std::vector<std::string> out;
        for (const auto& r : capture_->records())
            if (r.category == category) out.push_back(r.message);
        return out;
    }

    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::ScopedEnv> anchorsEnv_;
    std::shared_ptr<platform::log::CaptureSink> capture_ = std::make_shared<platform::log::CaptureSink>();
    testcerts::Issued root_ = nettest::rootAuthority();
};

TEST_F(ServerTrustTest, EvaluationTable) {
    testcerts::Issued other = nettest::rootAuthority("Other Root");
    ServerRecipe intermediateRecipe;
    intermediateRecipe.commonName = "Intermediate";
    intermediateRecipe.subjectAltName = "";
    intermediateRecipe.extendedKeyUsage = nullptr;
    intermediateRecipe.isCA = true;
    testcerts::Issued intermediate = nettest::issueServer(intermediateRecipe, root_);

    ServerRecipe expired;
    expired.notBeforeOffset = -7200;
    expired.notAfterOffset = -3600;
    ServerRecipe commonNameOnly;
    commonNameOnly.subjectAltName = "";
    ServerRecipe clientOnly;
    clientOnly.extendedKeyUsage = "clientAuth";
    // Weak keys and digests: an RSA authority below the anchor signs them
    // (no digest but SHA-2 goes with the anchor's EC key).
    ServerRecipe rsaRecipe = intermediateRecipe;
    rsaRecipe.rsaBits = 2048;
    testcerts::Issued rsaIntermediate = nettest::issueServer(rsaRecipe, root_);
    rsaRecipe.rsaBits = 1024;
    testcerts::Issued weakIntermediate = nettest::issueServer(rsaRecipe, root_);
    ServerRecipe weakKey;
    weakKey.rsaBits = 1024;
    ServerRecipe sha1;
    sha1.digest = "SHA1";
    ServerRecipe md5;
    md5.digest = "MD5";
    testcerts::Issued md5Leaf = nettest::issueServer(md5, rsaIntermediate);
    ASSERT_TRUE(md5Leaf.certificate) << "OpenSSL would not sign with MD5";

    struct Row {
        const char* name;
        std::vector<NRVCertificateRef> chain;
        std::string host;
        NRVTrustResult expected;
    };
    const Row rows[] = {
        {"leaf by the anchor, by address", {nettest::issueServer({}, root_).certificate}, "127.0.0.1",
         NRVTrustResult::kUnspecified},
        {"leaf by the anchor, by name", {nettest::issueServer({}, root_).certificate}, "localhost",
         NRVTrustResult::kUnspecified},
        {"through an intermediate",
         {nettest::issueServer({}, intermediate).certificate, intermediate.certificate},
         "127.0.0.1",
         NRVTrustResult::kUnspecified},
        {"intermediate missing", {nettest::issueServer({}, intermediate).certificate}, "127.0.0.1",
         NRVTrustResult::kRecoverableTrustFailure},
        {"another authority", {nettest::issueServer({}, other).certificate}, "127.0.0.1",
         NRVTrustResult::kRecoverableTrustFailure},
        {"self-signed leaf", {other.certificate}, "127.0.0.1", NRVTrustResult::kRecoverableTrustFailure},
        {"wrong host", {nettest::issueServer({}, root_).certificate}, "127.0.0.2",
         NRVTrustResult::kRecoverableTrustFailure},
        {"wrong name", {nettest::issueServer({}, root_).certificate}, "example.test",
         NRVTrustResult::kRecoverableTrustFailure},
        {"expired", {nettest::issueServer(expired, root_).certificate}, "127.0.0.1",
         NRVTrustResult::kRecoverableTrustFailure},
        {"name in the common name only", {nettest::issueServer(commonNameOnly, root_).certificate}, "localhost",
         NRVTrustResult::kRecoverableTrustFailure},
        {"client certificate only", {nettest::issueServer(clientOnly, root_).certificate}, "127.0.0.1",
         NRVTrustResult::kRecoverableTrustFailure},
        {"RSA-2048 leaf through an RSA-2048 authority",
         {nettest::issueServer({}, rsaIntermediate).certificate, rsaIntermediate.certificate}, "127.0.0.1",
         NRVTrustResult::kUnspecified},
        {"RSA-1024 leaf", {nettest::issueServer(weakKey, root_).certificate}, "127.0.0.1",
         NRVTrustResult::kRecoverableTrustFailure},
        {"RSA-1024 intermediate",
         {nettest::issueServer({}, weakIntermediate).certificate, weakIntermediate.certificate}, "127.0.0.1",
         NRVTrustResult::kRecoverableTrustFailure},
        {"SHA-1 signed leaf", {nettest::issueServer(sha1, rsaIntermediate).certificate, rsaIntermediate.certificate},
         "127.0.0.1", NRVTrustResult::kRecoverableTrustFailure},
        {"MD5 signed leaf", {md5Leaf.certificate, rsaIntermediate.certificate}, "127.0.0.1",
         NRVTrustResult::kRecoverableTrustFailure},
    };
    for (const auto& row : rows) {
        NRVServerTrustRef trust = NRVServerTrust::create(row.chain, row.host);
        ASSERT_TRUE(trust) << row.name;
        trust->setAnchorCertificates(NRVSystemKeychain::rootCAs());
        trust->setAnchorCertificatesOnly(true);
        std::string reason;
        EXPECT_EQ(trust->evaluate(&reason), row.expected) << row.name << ": " << reason;
        EXPECT_EQ(reason.empty(), row.expected == NRVTrustResult::kUnspecified) << row.name;
        EXPECT_EQ(trust->lastFailureReason(), reason) << row.name;
    }
}

TEST_F(ServerTrustTest, VerifyCallbackFormChecksTheSystemAnchorsOnly) {
    testcerts::Issued leaf = nettest::issueServer({}, root_);
    STACK_OF(X509)* chain = sk_X509_new_null();
    sk_X509_push(chain, leaf.certificate->x509());
    NRVServerTrust::Evaluation pass = NRVServerTrust::evaluateAgainstSystemAnchors(chain, "127.0.0.1");
    EXPECT_EQ(pass.result, NRVTrustResult::kUnspecified) << pass.failureReason;

    // Once the anchors are the machine's usual ones, the test authority is refused.
    testsupport::writeText(dir_ / "anchors.pem", nettest::pem({nettest::rootAuthority("Unrelated").certificate}));
    NRVSystemKeychain::refreshRootCAs();
    NRVServerTrust::Evaluation refused = NRVServerTrust::evaluateAgainstSystemAnchors(chain, "127.0.0.1");
    EXPECT_EQ(refused.result, NRVTrustResult::kRecoverableTrustFailure);
    EXPECT_NE(refused.failureReason.find("unable to get local issuer certificate"), std::string::npos)
        << refused.failureReason;

    testsupport::writeText(dir_ / "anchors.pem", "");
    NRVSystemKeychain::refreshRootCAs();
    EXPECT_EQ(NRVServerTrust::evaluateAgainstSystemAnchors(chain, "127.0.0.1").failureReason,
              "Missing verification certificate(s)");
    EXPECT_EQ(NRVServerTrust::evaluateAgainstSystemAnchors(nullptr, "127.0.0.1").result, NRVTrustResult::kInvalid);
    sk_X509_free(chain);

    // The form a whole-chain verify callback sees: the leaf and the rest apart.
    ServerRecipe intermediateRecipe;
    intermediateRecipe.commonName = "Intermediate";
    intermediateRecipe.subjectAltName = "";
    intermediateRecipe.extendedKeyUsage = nullptr;
    intermediateRecipe.isCA = true;
    testcerts::Issued intermediate = nettest::issueServer(intermediateRecipe, root_);
    testcerts::Issued deepLeaf = nettest::issueServer({}, intermediate);
    X509_STORE* store = X509_STORE_new();
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    STACK_OF(X509)* sent = sk_X509_new_null();
    sk_X509_push(sent, deepLeaf.certificate->x509());
    sk_X509_push(sent, intermediate.certificate->x509());
    ASSERT_EQ(X509_STORE_CTX_init(context, store, deepLeaf.certificate->x509(), sent), 1);
    NRVServerTrustRef fromContext = NRVServerTrust::createWithStoreContext(context, "127.0.0.1");
    ASSERT_TRUE(fromContext);
    EXPECT_EQ(fromContext->certificates().size(), 2u);
    fromContext->setAnchorCertificates(std::make_shared<const std::vector<NRVCertificateRef>>(
        std::vector<NRVCertificateRef>{root_.certificate}));
    fromContext->setAnchorCertificatesOnly(true);
    EXPECT_EQ(fromContext->evaluate(), NRVTrustResult::kUnspecified);
    X509_STORE_CTX_free(context);
    X509_STORE_free(store);
    sk_X509_free(sent);

    EXPECT_FALSE(NRVServerTrust::createWithDERChain({NRVData{0x30, 0x00}}, "localhost"));
    EXPECT_TRUE(NRVServerTrust::createWithDERChain({leaf.certificate->data()}, "localhost"));
}

TEST_F(ServerTrustTest, StockHandlerAcceptsOnlyUnspecified) {
    const NRVURLAuthenticationHandler& handler = NRVURLBrokerConfiguration::defaultHTTPSChallengeHandler();
    EXPECT_EQ(&handler, &NRVURLBrokerConfiguration::defaultHTTPSChallengeHandler());
    testcerts::Issued leaf = nettest::issueServer({}, root_);

    auto good = handler(trustChallenge(NRVServerTrust::create({leaf.certificate}, "127.0.0.1")), nullptr);
    EXPECT_EQ(good.kind(), NRVURLAuthenticationAnswer::Kind::kUseCredential);
    ASSERT_TRUE(good.credential());
    EXPECT_TRUE(good.credential()->serverTrust());

    auto proceed = handler(
        trustChallenge(std::make_shared<FixedResultTrust>(leaf.certificate, NRVTrustResult::kProceed)), nullptr);
    EXPECT_EQ(proceed.kind(), NRVURLAuthenticationAnswer::Kind::kCancel);
    auto noTrust = handler(trustChallenge(nullptr), nullptr);
    EXPECT_EQ(noTrust.kind(), NRVURLAuthenticationAnswer::Kind::kCancel);

    NRVURLAuthenticationChallenge password;
    password.protectionSpace.authenticationMethod = NRVURLAuthenticationMethod::kHTTPBasic;
    std::size_t before = capture_->records().size();
    EXPECT_EQ(handler(password, nullptr).kind(), NRVURLAuthenticationAnswer::Kind::kCancel);
    EXPECT_EQ(capture_->records().size(), before);  // logs nothing

    testsupport::writeText(dir_ / "anchors.pem", "");
    NRVSystemKeychain::refreshRootCAs();
    EXPECT_EQ(handler(trustChallenge(NRVServerTrust::create({leaf.certificate}, "127.0.0.1")), nullptr).kind(),
              NRVURLAuthenticationAnswer::Kind::kCancel);

    EXPECT_EQ(messages("session"), (std::vector<std::string>{
                              "Received HTTPS challenge during upload",
                              "HTTPS challenge passed",
                              "Received HTTPS challenge during upload",
                              "HTTPS challenge failed - SecTrustResultType: 1",
                              "Received HTTPS challenge during upload",
                              "HTTPS challenge failed - Could not obtain SSL transaction state",
                              "Received HTTPS challenge during upload",
                              "HTTPS challenge failed - Missing verification certificate(s)",
                          }));
}

TEST_F(ServerTrustTest, AuthenticatorAcceptsOnlyUnspecified) {
    NRVServerAuthenticator authenticator;
    testcerts::Issued leaf = nettest::issueServer({}, root_);
    testcerts::Issued stranger = nettest::issueServer({}, nettest::rootAuthority("Stranger"));

    EXPECT_TRUE(authenticator.verifyServerAuthenticationForChallenge(
        trustChallenge(NRVServerTrust::create({leaf.certificate}, "127.0.0.1"))));
    EXPECT_FALSE(authenticator.verifyServerAuthenticationForChallenge(
        trustChallenge(std::make_shared<FixedResultTrust>(leaf.certificate, NRVTrustResult::kProceed))));
    EXPECT_FALSE(authenticator.verifyServerAuthenticationForChallenge(
        trustChallenge(NRVServerTrust::create({stranger.certificate}, "127.0.0.1"))));
    EXPECT_FALSE(authenticator.verifyServerAuthenticationForChallenge(trustChallenge(nullptr)));
    NRVURLAuthenticationChallenge password;
    password.protectionSpace.authenticationMethod = NRVURLAuthenticationMethod::kHTTPBasic;
    EXPECT_FALSE(authenticator.verifyServerAuthenticationForChallenge(password));

    EXPECT_EQ(messages("auth"), (std::vector<std::string>{
                              "Successfully validate server certificate.",
                              "Failed to validate server certificate. Trust result: 1",
                              "Failed to validate server certificate. Trust result: 5",
                          }));
}

}  // namespace
