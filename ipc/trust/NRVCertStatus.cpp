#include "ipc/trust/NRVCertStatus.h"

#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <string>

#include "foundation/NerovaLogger.h"
#include "ipc/keychain/NRVSystemKeychain.h"
#include "platform/crypto/OpenSSLPtr.h"

namespace {

const NRVLogHandle& log() { return NerovaLogger::modernweb(); }

// The platform's status numbers, as the log lines report them.
constexpr int kStatusParam = -50;
constexpr int kStatusAllocate = -108;
constexpr int kStatusDecode = -26275;
// How far the clocks of the responder and this machine may differ.
constexpr long kOCSPClockSkewSeconds = 300;

template <typename T>
using Owned = platform::crypto::OpenSSLPtr<T>;

// The anchors, and the chain split into its leaf and the certificates
// offered to build the path with (each holding its own reference).
struct Trust {
    Owned<X509_STORE> anchors;
    X509* leaf = nullptr;
    Owned<STACK_OF(X509)> offered;
};

std::optional<Trust> createTrust(const std::vector<NRVCertificateRef>& chain, int* status) {
    *status = kStatusParam;
    if (chain.empty()) return std::nullopt;
    for (const auto& certificate : chain)
        if (!certificate || !certificate->x509()) return std::nullopt;
    *status = kStatusAllocate;
    Trust trust;
    trust.anchors.reset(X509_STORE_new());
    trust.offered.reset(sk_X509_new_null());
    if (!trust.anchors || !trust.offered) return std::nullopt;
    if (NRVCertificateArray roots = NRVSystemKeychain::rootCAs())
        for (const auto& root : *roots) X509_STORE_add_cert(trust.anchors.get(), root->x509());
    ERR_clear_error();  // a duplicate anchor is reported, and harmless
    trust.leaf = chain.front()->x509();
    for (std::size_t i = 1; i < chain.size(); ++i) {
        X509_up_ref(chain[i]->x509());
        if (!sk_X509_push(trust.offered.get(), chain[i]->x509())) {
            X509_free(chain[i]->x509());
            return std::nullopt;
        }
    }
    *status = 0;
    return trust;
}

// The verified path from the leaf to an anchor, or nullptr.
Owned<STACK_OF(X509)> evaluate(const Trust& trust, const X509_VERIFY_PARAM* policy) {
    Owned<X509_STORE_CTX> context(X509_STORE_CTX_new());
    if (!context || X509_STORE_CTX_init(context.get(), trust.anchors.get(), trust.leaf, trust.offered.get()) != 1)
        return nullptr;
    X509_VERIFY_PARAM_set1(X509_STORE_CTX_get0_param(context.get()), policy);
    const bool verified = X509_verify_cert(context.get()) == 1;
    ERR_clear_error();
    return verified ? Owned<STACK_OF(X509)>(X509_STORE_CTX_get1_chain(context.get())) : nullptr;
}

enum class Answer { Good, Revoked, None };

// What a verified response says about one certificate, when it says it for
// the present: thisUpdate not in the future, nextUpdate not passed.
Answer answerFor(OCSP_BASICRESP* response, X509* certificate, X509* issuer) {
    for (int i = 0; i < OCSP_resp_count(response); ++i) {
        OCSP_SINGLERESP* single = OCSP_resp_get0(response, i);
        const OCSP_CERTID* answered = OCSP_SINGLERESP_get0_id(single);
        ASN1_OBJECT* hashAlgorithm = nullptr;
        if (!OCSP_id_get0_info(nullptr, &hashAlgorithm, nullptr, nullptr, const_cast<OCSP_CERTID*>(answered)))
            continue;
        const EVP_MD* digest = EVP_get_digestbyobj(hashAlgorithm);
        if (!digest) continue;
        Owned<OCSP_CERTID> asked(OCSP_cert_to_id(digest, certificate, issuer));
        if (!asked || OCSP_id_cmp(asked.get(), answered) != 0) continue;
        int reason = 0;
        ASN1_GENERALIZEDTIME *revoked = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
        const int status = OCSP_single_get0_status(single, &reason, &revoked, &thisUpdate, &nextUpdate);
        if (OCSP_check_validity(thisUpdate, nextUpdate, kOCSPClockSkewSeconds, -1) != 1) return Answer::None;
        if (status == V_OCSP_CERTSTATUS_REVOKED) return Answer::Revoked;
        return status == V_OCSP_CERTSTATUS_GOOD ? Answer::Good : Answer::None;
    }
    return Answer::None;
}

// The basic response inside the stapled data, once its signature verifies
// to the anchors; nullptr when the data is no usable response.
// *decoded tells whether the data was an OCSP response at all.
Owned<OCSP_BASICRESP> verifiedResponse(const NRVData& data, const Trust& trust, bool* decoded) {
    *decoded = false;
    if (data.size() > NRVCertStatus::kMaxOCSPResponseSize) return nullptr;
    const unsigned char* cursor = data.data();
    Owned<OCSP_RESPONSE> response(d2i_OCSP_RESPONSE(nullptr, &cursor, static_cast<long>(data.size())));
    if (!response || cursor != data.data() + data.size()) return nullptr;
    *decoded = true;
    if (OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL) return nullptr;
    Owned<OCSP_BASICRESP> basic(OCSP_response_get1_basic(response.get()));
    if (!basic) return nullptr;
    Owned<STACK_OF(X509)> helpers(sk_X509_dup(trust.offered.get()));
    if (helpers) {
        for (int i = 0; i < sk_X509_num(helpers.get()); ++i) X509_up_ref(sk_X509_value(helpers.get(), i));
    }
    // The signer must chain to an anchor and be the issuer of what it
    // answers for, or a responder that issuer delegated.
    if (OCSP_basic_verify(basic.get(), helpers.get(), trust.anchors.get(), 0) != 1) basic.reset();
    return basic;
}

}  // namespace

long NRVCertStatus::checkTrustStatus(const std::vector<NRVCertificateRef>& certificates) {
    Owned<X509_VERIFY_PARAM> policy(X509_VERIFY_PARAM_new());
    if (!policy || X509_VERIFY_PARAM_set_purpose(policy.get(), X509_PURPOSE_SSL_SERVER) != 1) {
        log().error("SecPolicyCreateSSL failed to set online policy");
        return 4;
    }
    int status = 0;
    auto trust = createTrust(certificates, &status);
    if (!trust) {
        log().error("Could not create trust object with given certificate status code: " + std::to_string(status));
        return 2;
    }
    // Expired certificates are allowed: only the path to an anchor counts.
    X509_VERIFY_PARAM_set_flags(policy.get(), X509_V_FLAG_NO_CHECK_TIME);
    return evaluate(*trust, policy.get()) ? 0 : 1;
}

long NRVCertStatus::checkRevocationStatus(const std::vector<NRVCertificateRef>& certificates,
                                          [[maybe_unused]] bool isOfflineCheck,
                                          const std::optional<NRVData>& ocspResponseData) {
    // Nothing is fetched, so online and offline checks are one check: the
    // only answers are the ones stapled by the caller.
    Owned<X509_VERIFY_PARAM> policy(X509_VERIFY_PARAM_new());
    int status = 0;
    auto trust = policy ? createTrust(certificates, &status) : std::nullopt;
    if (!trust) {
        log().error("Failed creating trust object with status code: " + std::to_string(policy ? status : kStatusAllocate));
        return 2;
    }
    Owned<OCSP_BASICRESP> response;
    if (ocspResponseData) {
        bool decoded = false;
        response = verifiedResponse(*ocspResponseData, *trust, &decoded);
        ERR_clear_error();
        if (!decoded)
            log().error("Failed to attach OCSP response to trust object status: " + std::to_string(kStatusDecode));
    }
    Owned<STACK_OF(X509)> path = evaluate(*trust, policy.get());
    if (!path || !response) return 2;

    // A revoked answer for any certificate below the anchor fails the chain;
    // the leaf itself must be answered good.
    const int length = sk_X509_num(path.get());
    Answer leaf = Answer::None;
    for (int i = 0; i + 1 < length; ++i) {
        const Answer answer = answerFor(response.get(), sk_X509_value(path.get(), i), sk_X509_value(path.get(), i + 1));
        if (answer == Answer::Revoked) return 3;
        if (i == 0) leaf = answer;
    }
    return leaf == Answer::Good ? 0 : 2;
}
