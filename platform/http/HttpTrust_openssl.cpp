// Trust of the engine's TLS connections: the security level every context
// keeps, and the server-trust hook in place of OpenSSL's chain check.
#include "platform/http/HttpEngineInternal_curl.h"

#include "platform/crypto/OpenSSLState.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace platform::http::detail {
namespace {

// The bits of security OpenSSL's levels ask of keys and signatures.
int minimumSecurityBits(int level) {
    static const int bits[] = {0, 80, 112, 128, 192, 256};
    return bits[std::clamp(level, 0, 5)];
}

// The peer's chain against the security level, as OpenSSL's own chain check
// would have judged it had the trust hook not replaced that check: every key
// and every signature not made by the certificate itself must reach the
// level's bits. false with the reason when one falls short.
bool chainMeetsSecurityLevel(X509_STORE_CTX* chain, int level, std::string* reason) {
    const int minimum = minimumSecurityBits(level);
    std::vector<X509*> certificates;
    if (X509* leaf = X509_STORE_CTX_get0_cert(chain)) certificates.push_back(leaf);
    if (STACK_OF(X509)* others = X509_STORE_CTX_get0_untrusted(chain)) {
        for (int i = 0; i < sk_X509_num(others); ++i) {
            X509* x = sk_X509_value(others, i);
            if (x && (certificates.empty() || X509_cmp(x, certificates.front()) != 0)) certificates.push_back(x);
        }
    }
    for (std::size_t depth = 0; depth < certificates.size(); ++depth) {
        X509* certificate = certificates[depth];
        EVP_PKEY* key = X509_get0_pubkey(certificate);
        const int keyBits = key ? EVP_PKEY_get_security_bits(key) : 0;
        if (keyBits < minimum) {
            *reason = "weak key (" + std::string(key ? EVP_PKEY_get0_type_name(key) : "none") + " " +
                      std::to_string(key ? EVP_PKEY_get_bits(key) : 0) + " bits) at depth " + std::to_string(depth);
            return false;
        }
        if (X509_check_issued(certificate, certificate) == X509_V_OK) continue;  // self-signed: not judged here
        int digest = NID_undef, signatureBits = 0;
        if (X509_get_signature_info(certificate, &digest, nullptr, &signatureBits, nullptr) != 1 ||
            signatureBits < minimum) {
            *reason = "weak signature (" + std::string(digest != NID_undef ? OBJ_nid2sn(digest) : "unknown digest") +
                      ") at depth " + std::to_string(depth);
            return false;
        }
    }
    return true;
}

int verifyChain(X509_STORE_CTX* chain, void* raw) {
    auto* context = static_cast<TrustContext*>(raw);
    context->reason.clear();
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(chain, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const int level = std::max(kMinimumSecurityLevel, ssl ? SSL_get_security_level(ssl) : 0);
    bool accepted = chainMeetsSecurityLevel(chain, level, &context->reason);
    if (accepted) {
        // The hook may wait for a queue whose turn on this thread has not come.
        EngineThreadMayWait waiting;
        platform::Error refusal;
        accepted = context->hook && context->hook(chain, context->host(), &refusal);
        if (!accepted) context->reason = std::move(refusal.description);
        if (!accepted && context->reason.empty()) context->reason = "refused by the trust check";
    }
    if (accepted) {
        X509_STORE_CTX_set_error(chain, X509_V_OK);
        return 1;
    }
    context->refused = true;
    X509_STORE_CTX_set_error(chain, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

// Every TLS context of the engine: at least the minimum security level (key
// exchange, ciphers and signatures of the handshake), and the trust hook in
// place of OpenSSL's chain check when there is one. A write that must be
// repeated may come from a buffer that moved (stream connections queue
// what the peer does not take yet).
CURLcode configureContext(CURL*, void* sslContext, void* raw) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    auto* trust = static_cast<TrustContext*>(raw);
    SSL_CTX_set_security_level(ctx, std::max(kMinimumSecurityLevel, SSL_CTX_get_security_level(ctx)));
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (trust->hook) SSL_CTX_set_cert_verify_callback(ctx, &verifyChain, raw);
    return CURLE_OK;
}

}  // namespace

void applyTLS(CURL* e, TrustContext* trust) {
    curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (trust->hook) {
        curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    }
    trust->easy = e;
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &configureContext);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, trust);
}

}  // namespace platform::http::detail
