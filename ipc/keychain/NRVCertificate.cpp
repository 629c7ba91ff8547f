#include "ipc/keychain/NRVCertificate.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include <ctime>

namespace {

std::string objectText(const ASN1_OBJECT* object) {
    char buffer[128];
    int n = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    return n > 0 ? std::string(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1)) : "";
}

std::vector<std::pair<std::string, std::string>> components(const X509_NAME* name) {
    std::vector<std::pair<std::string, std::string>> out;
    if (!name) return out;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        unsigned char* utf8 = nullptr;
        int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        std::string value = length >= 0 ? std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length)) : "";
        OPENSSL_free(utf8);
        out.emplace_back(objectText(X509_NAME_ENTRY_get_object(entry)), std::move(value));
    }
    return out;
}

NRVData nameData(const X509_NAME* name) {
    unsigned char* der = nullptr;
    int n = name ? i2d_X509_NAME(name, &der) : -1;
    NRVData out;
    if (n > 0) out.assign(der, der + n);
    OPENSSL_free(der);
    return out;
}

// ASN.1 time in absolute seconds, never through the local time zone.
std::optional<double> secondsOf(const ASN1_TIME* time) {
    struct tm parts {};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return std::nullopt;
    return static_cast<double>(timegm(&parts));
}

}  // namespace

NRVCertificate::NRVCertificate(X509* x509, NRVData der) : x509_(x509), der_(std::move(der)) {}

NRVCertificateRef NRVCertificate::createWithData(std::span<const std::uint8_t> der) {
    if (der.empty()) return nullptr;
    const unsigned char* cursor = der.data();
    platform::crypto::OpenSSLPtr<X509> x509(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!x509) return nullptr;
    if (cursor != der.data() + der.size()) return nullptr;  // trailing bytes: not one certificate
    return NRVCertificateRef(new NRVCertificate(x509.release(), NRVData(der.begin(), der.end())));
}

NRVCertificateRef NRVCertificate::createWithX509(X509* certificate) {
    if (!certificate) return nullptr;
    unsigned char* der = nullptr;
    int n = i2d_X509(certificate, &der);
    if (n <= 0) return nullptr;
    NRVData bytes(der, der + n);
    OPENSSL_free(der);
    X509_up_ref(certificate);
    return NRVCertificateRef(new NRVCertificate(certificate, std::move(bytes)));
}

std::vector<std::pair<std::string, std::string>> NRVCertificate::subjectComponents() const {
    return components(X509_get_subject_name(x509_.get()));
}

std::vector<std::pair<std::string, std::string>> NRVCertificate::issuerComponents() const {
    return components(X509_get_issuer_name(x509_.get()));
}

NRVData NRVCertificate::subjectData() const { return nameData(X509_get_subject_name(x509_.get())); }
NRVData NRVCertificate::issuerData() const { return nameData(X509_get_issuer_name(x509_.get())); }

NRVData NRVCertificate::serialNumberData() const {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(x509_.get());
    if (!serial) return {};
    const unsigned char* bytes = ASN1_STRING_get0_data(serial);
    return NRVData(bytes, bytes + ASN1_STRING_length(serial));
}

std::optional<double> NRVCertificate::notBefore() const { return secondsOf(X509_get0_notBefore(x509_.get())); }
std::optional<double> NRVCertificate::notAfter() const { return secondsOf(X509_get0_notAfter(x509_.get())); }

std::optional<double> NRVCertificate::invalidityDate() const {
    auto* time = static_cast<ASN1_GENERALIZEDTIME*>(
        X509_get_ext_d2i(x509_.get(), NID_invalidity_date, nullptr, nullptr));
    if (!time) return std::nullopt;
    std::optional<double> seconds = secondsOf(time);
    ASN1_GENERALIZEDTIME_free(time);
    return seconds;
}

NRVData NRVCertificate::signature() const {
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, x509_.get());
    if (!signature) return {};
    const unsigned char* bytes = ASN1_STRING_get0_data(signature);
    return NRVData(bytes, bytes + ASN1_STRING_length(signature));
}

NRVData NRVCertificate::publicKeyHash() const {
    NRVData digest(SHA_DIGEST_LENGTH);
    unsigned int length = 0;
    if (X509_pubkey_digest(x509_.get(), EVP_sha1(), digest.data(), &length) != 1) return {};
    digest.resize(length);
    return digest;
}

bool NRVCertificate::subjectMatchesWholeString(const std::string& name) const {
    for (const auto& [oid, value] : subjectComponents())
        if (value == name) return true;
    return false;
}
