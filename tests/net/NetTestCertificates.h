// A certificate authority made on the spot for the URL-stack tests: its
// root, intermediates and TLS server certificates for loopback names, and
// PEM files of them for local test servers and the anchor bundle.
#pragma once

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ipc/TestCertificates.h"

namespace nettest {

struct ServerRecipe {
    std::string commonName = "localhost";
    std::string subjectAltName = "DNS:localhost,IP:127.0.0.1";  // "" for none
    long notBeforeOffset = -3600;
    long notAfterOffset = 30L * 86400;
    const char* extendedKeyUsage = "serverAuth";
    bool isCA = false;
    int rsaBits = 0;                 // an RSA key of this size; 0 for an EC P-256 key
    const char* digest = "SHA256";   // what the issuer signs with
};

inline testcerts::Issued rootAuthority(const std::string& name = "Nerova Test Root") {
    testcerts::Recipe recipe;
    recipe.subject = {{"CN", name}};
    recipe.isCA = true;
    return testcerts::issue(recipe);
}

// A certificate signed by `issuer`, made here so that the subject
// alternative names go in before the signature.
inline testcerts::Issued issueServer(const ServerRecipe& recipe, const testcerts::Issued& issuer) {
    static long serial = 100;
    NRVKeyRef key = recipe.rsaBits > 0 ? NRVKey::generate(NRVKey::kKeyTypeRSA, recipe.rsaBits)
                                       : NRVKey::generate(NRVKey::kKeyTypeEC, 256);
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), recipe.notBeforeOffset);
    X509_gmtime_adj(X509_getm_notAfter(cert), recipe.notAfterOffset);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(recipe.commonName.c_str()), -1, -1, 0);
    X509* issuerCert = issuer.certificate->x509();
    X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
    X509_set_pubkey(cert, key->pkey());
    testcerts::addExtension(cert, issuerCert, NID_basic_constraints,
                            recipe.isCA ? "critical,CA:TRUE" : "critical,CA:FALSE");
    if (recipe.isCA) testcerts::addExtension(cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    if (recipe.extendedKeyUsage)
        testcerts::addExtension(cert, issuerCert, NID_ext_key_usage, recipe.extendedKeyUsage);
    if (!recipe.subjectAltName.empty())
        testcerts::addExtension(cert, issuerCert, NID_subject_alt_name, recipe.subjectAltName.c_str());
    // Null when OpenSSL will not sign with that digest and key.
    const bool signedOK = X509_sign(cert, issuer.key->pkey(), EVP_get_digestbyname(recipe.digest)) > 0;
    NRVCertificateRef made = signedOK ? NRVCertificate::createWithX509(cert) : nullptr;
    X509_free(cert);
    return {made, key};
}

inline std::string pem(const std::vector<NRVCertificateRef>& certificates) {
    std::string out;
    for (const auto& c : certificates) {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, c->x509());
        char* text = nullptr;
        long n = BIO_get_mem_data(bio, &text);
        out.append(text, static_cast<std::size_t>(n));
        BIO_free(bio);
    }
    return out;
}

inline std::string keyPem(const NRVKeyRef& key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key->pkey(), nullptr, nullptr, 0, nullptr, nullptr);
    char* text = nullptr;
    long n = BIO_get_mem_data(bio, &text);
    std::string out(text, static_cast<std::size_t>(n));
    BIO_free(bio);
    return out;
}

}  // namespace nettest
