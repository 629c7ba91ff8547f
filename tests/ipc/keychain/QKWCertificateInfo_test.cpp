#include "ipc/keychain/QKWCertificateInfo.h"

#include <gtest/gtest.h>

#include <ctime>

#include "ipc/TestCertificates.h"
#include "support/TestSupport.h"

namespace {

TEST(QKWCertificateInfoTest, FieldsOfACertificate) {
    testcerts::Recipe caRecipe;
    caRecipe.subject = {{"CN", "Issuer CA"}, {"O", "Nerova"}};
    caRecipe.isCA = true;
    testcerts::Issued ca = testcerts::issue(caRecipe);
    testcerts::Recipe recipe;
    recipe.subject = {{"C", "UK"}, {"O", "First"}, {"O", "Second"}};
    recipe.serial = 0x01A2;
    testcerts::Issued leaf = testcerts::issue(recipe, &ca);

    NRVDictionary subject = QKWCertificateInfo::subjectInfoFromCertificate(leaf.certificate);
    EXPECT_EQ(*subject.find("2.5.4.6"), NRVValue("UK"));
    EXPECT_EQ(*subject.find("2.5.4.10"), NRVValue("Second"));  // the last one wins
    EXPECT_EQ(*subject.find("2.5.4.3"), NRVValue(NRVArray{}));  // no common name: an empty array
    EXPECT_EQ(*subject.find(QKWCertificateInfo::kSerialNumberOID), NRVValue("01 A2"));

    NRVDictionary issuer = QKWCertificateInfo::issuerInfoFromCertificate(leaf.certificate);
    EXPECT_EQ(*issuer.find("2.5.4.3"), NRVValue("Issuer CA"));

    NRVDictionary validity = QKWCertificateInfo::validityInfoFromCertificate(leaf.certificate);
    const NRVDate* notAfter = validity.find(QKWCertificateInfo::kValidityNotAfterOID)->asDate();
    ASSERT_TRUE(notAfter);
    EXPECT_NEAR(notAfter->timeIntervalSince1970(), static_cast<double>(std::time(nullptr)) + 365.0 * 86400, 5);
    EXPECT_FALSE(validity.contains(QKWCertificateInfo::kInvalidityDateOID));

    std::string signature = QKWCertificateInfo::signatureStringFromCertRef(leaf.certificate);
    EXPECT_EQ(signature.size() % 3, 2u);  // "XX XX ... XX"
    EXPECT_EQ(signature.find_first_not_of("0123456789ABCDEF "), std::string::npos);
}

TEST(QKWCertificateInfoTest, AbsoluteTimesDoNotShiftInTheRepeatedDaylightSavingHour) {
    // 2021-10-31 01:30:00 UTC falls into the hour that Central European
    // clocks run twice; splitting it in local time and joining it again
    // moves it by an hour.
    testsupport::ScopedEnv zone("TZ", std::string("Europe/Berlin"));
    tzset();
    const double unixSeconds = 1635643800.5;
    NRVDate date = QKWCertificateInfo::dateWithAbsoluteTime(unixSeconds - NRVDate::kSecondsFrom1970To2001);
    EXPECT_EQ(date.timeIntervalSince1970(), 1635643800.0);
    NRVDate before = QKWCertificateInfo::dateWithAbsoluteTime(-0.25);
    EXPECT_EQ(before.sinceReferenceDate, -1.0);  // whole seconds of the time, not toward zero
}

}  // namespace
