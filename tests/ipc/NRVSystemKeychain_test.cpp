#include "ipc/NRVSystemKeychain.h"

#include <openssl/pem.h>

#include <gtest/gtest.h>

#include "ipc/TestCertificates.h"
#include "support/TestSupport.h"

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

}  // namespace
