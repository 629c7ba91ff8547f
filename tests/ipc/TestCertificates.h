// Certificates made on the spot for the keychain tests: a small authority,
// leaves signed by it or by themselves, with chosen names, dates and uses.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>
#include <utility>
#include <vector>

#include "ipc/keychain/NRVCertificate.h"
#include "ipc/keychain/NRVKey.h"

namespace testcerts {

struct Recipe {
    std::vector<std::pair<std::string, std::string>> subject{{"CN", "leaf"}};
    long serial = 1;
    long notBeforeOffset = -3600;  // seconds from now
    long notAfterOffset = 365L * 86400;
    bool isCA = false;
    const char* extendedKeyUsage = nullptr;  // e.g. "clientAuth"
};

struct Issued {
    NRVCertificateRef certificate;
    NRVKeyRef key;
};

inline void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// Signed by `issuer` (itself when null), for `key` (a new EC key when null).
inline Issued issue(const Recipe& recipe, const Issued* issuer = nullptr, NRVKeyRef key = nullptr) {
    if (!key) key = NRVKey::generate(NRVKey::kKeyTypeEC, 256);
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), recipe.serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), recipe.notBeforeOffset);
    X509_gmtime_adj(X509_getm_notAfter(cert), recipe.notAfterOffset);
    X509_NAME* name = X509_get_subject_name(cert);
    for (const auto& [field, value] : recipe.subject)
        X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer->certificate->x509()) : name);
    X509_set_pubkey(cert, key->pkey());
    X509* issuerCert = issuer ? issuer->certificate->x509() : cert;
    addExtension(cert, issuerCert, NID_basic_constraints, recipe.isCA ? "critical,CA:TRUE" : "critical,CA:FALSE");
    if (recipe.extendedKeyUsage) addExtension(cert, issuerCert, NID_ext_key_usage, recipe.extendedKeyUsage);
    X509_sign(cert, issuer ? issuer->key->pkey() : key->pkey(), EVP_sha256());
    NRVCertificateRef made = NRVCertificate::createWithX509(cert);
    X509_free(cert);
    return {made, key};
}

}  // namespace testcerts
