#include "ipc/keychain/NRVSystemKeychain.h"

#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <memory>

#include "ipc/TestCertificates.h"
#include "platform/log/LogStore.h"
#include "support/TestSupport.h"
#include "support/TrustInputs.h"

namespace {

std::string pemBundle(int count) {
    std::string bundle;
    for (int i = 0; i < count; ++i) {
        testcerts::Recipe recipe;
        recipe.subject = {{"CN", "Root " + std::to_string(i)}};
        recipe.isCA = true;
        testcerts::Issued root = testcerts::issue(recipe);
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, root.certificate->x509());
        char* text = nullptr;
        long n = BIO_get_mem_data(bio, &text);
        bundle.append(text, static_cast<std::size_t>(n));
        BIO_free(bio);
    }
    return bundle;
}

TEST(NRVSystemKeychainTest, AnchorsAreReadOnceAndReplacedByARefresh) {
    testsupport::TempDir dir;
    testsupport::writeText(dir / "bundle.pem", pemBundle(2));
    testsupport::ScopedEnv anchors("NRV_ANCHOR_CERTIFICATES", dir / "bundle.pem");
    NRVSystemKeychain::refreshRootCAs();

    NRVCertificateArray first = NRVSystemKeychain::rootCAs();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 2u);
    testsupport::writeText(dir / "bundle.pem", pemBundle(3));
    EXPECT_EQ(NRVSystemKeychain::rootCAs(), first);  // the same array, not read again

    NRVSystemKeychain::refreshRootCAs();
    NRVCertificateArray second = NRVSystemKeychain::rootCAs();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->size(), 3u);

    testsupport::writeText(dir / "bundle.pem", "not a certificate");
    NRVSystemKeychain::refreshRootCAs();
    EXPECT_FALSE(NRVSystemKeychain::rootCAs());
}

// A bundle another user can change is not read: one log line, and the
// system's bundle stands in.
TEST(NRVSystemKeychainTest, AConfiguredBundleIsUsedOnlyWhenNobodyElseCanChangeIt) {
    testsupport::trust::ScopedLocalUser user;
    if (!user.ok()) GTEST_SKIP() << "no second user: " << user.why();
    const std::string bundle = pemBundle(2);
    for (auto variant : testsupport::trust::kAllVariants) {
        testsupport::TempDir dir;
        const std::string path = dir / "sub/bundle.pem";
        testsupport::trust::makeItem(path, testsupport::trust::ItemKind::File, variant, user,
                                     [&](const std::string& p) { testsupport::writeText(p, bundle); });
        testsupport::ScopedEnv anchors("NRV_ANCHOR_CERTIFICATES", path);
        auto capture = std::make_shared<platform::log::CaptureSink>();
        platform::log::setSink(capture);
        NRVSystemKeychain::refreshRootCAs();
        NRVCertificateArray roots = NRVSystemKeychain::rootCAs();
        platform::log::setSink(nullptr);
        const bool expected = variant == testsupport::trust::Variant::Good ||
                              variant == testsupport::trust::Variant::InStickyFolder;
        const char* name = testsupport::trust::variantName(variant);
        ASSERT_TRUE(roots) << name;  // the configured two, or the system's many
        EXPECT_EQ(roots->size() == 2, expected) << name << ": " << roots->size();
        std::size_t lines = 0;
        for (const auto& r : capture->records()) lines += r.message.find("NRV_ANCHOR_CERTIFICATES") != std::string::npos;
        EXPECT_EQ(lines, expected ? 0u : 1u) << name;
    }
    NRVSystemKeychain::refreshRootCAs();
}

}  // namespace
