#include "net/session/NRVServerTrust.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace {

struct StoreFree {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxFree {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};

void addAll(X509_STORE* store, const NRVCertificateArray& anchors) {
    if (!anchors) return;
    for (const auto& anchor : *anchors)
        if (anchor) X509_STORE_add_cert(store, anchor->x509());  // a duplicate is harmless
}

}  // namespace

// NRVCertificate::createWithX509 takes a reference of its own.

NRVServerTrustRef NRVServerTrust::create(std::vector<NRVCertificateRef> chain, std::string host) {
    if (chain.empty()) return nullptr;
    for (const auto& c : chain)
        if (!c) return nullptr;
    return NRVServerTrustRef(new NRVServerTrust(std::move(chain), std::move(host)));
}

NRVServerTrustRef NRVServerTrust::createWithX509Chain(const STACK_OF(X509) * chain, std::string host) {
    if (!chain) return nullptr;
    std::vector<NRVCertificateRef> certs;
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        X509* x = sk_X509_value(chain, i);
        if (!x) return nullptr;
        certs.push_back(NRVCertificate::createWithX509(x));
    }
    return create(std::move(certs), std::move(host));
}

NRVServerTrustRef NRVServerTrust::createWithStoreContext(X509_STORE_CTX* context, std::string host) {
    if (!context) return nullptr;
    X509* leaf = X509_STORE_CTX_get0_cert(context);
    if (!leaf) return nullptr;
    std::vector<NRVCertificateRef> certs;
    certs.push_back(NRVCertificate::createWithX509(leaf));
    if (STACK_OF(X509)* others = X509_STORE_CTX_get0_untrusted(context)) {
        for (int i = 0; i < sk_X509_num(others); ++i) {
            X509* x = sk_X509_value(others, i);
            if (!x || X509_cmp(x, leaf) == 0) continue;  // some peers send their leaf twice
            certs.push_back(NRVCertificate::createWithX509(x));
        }
    }
    return create(std::move(certs), std::move(host));
}

NRVServerTrustRef NRVServerTrust::createWithDERChain(const std::vector<NRVData>& chain, std::string host) {
    std::vector<NRVCertificateRef> certs;
    for (const auto& der : chain) {
        NRVCertificateRef c = NRVCertificate::createWithData(der);
        if (!c) return nullptr;
        certs.push_back(std::move(c));
    }
    return create(std::move(certs), std::move(host));
}

void NRVServerTrust::setAnchorCertificates(NRVCertificateArray anchors) {
    anchors_ = std::move(anchors);
    anchorsSet_ = true;
}

NRVTrustResult NRVServerTrust::evaluate(std::string* failureReason) {
    auto fail = [&](NRVTrustResult result, std::string reason) {
        lastFailureReason_ = reason;
        if (failureReason) *failureReason = std::move(reason);
        return result;
    };
    std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
    std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
    std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
    if (!store || !ctx || !untrusted) return fail(NRVTrustResult::kOtherError, "out of memory");

    if (anchorsSet_) addAll(store.get(), anchors_);
    if (!anchorsSet_ || !anchorsOnly_) addAll(store.get(), NRVSystemKeychain::rootCAs());

    for (std::size_t i = 1; i < chain_.size(); ++i) sk_X509_push(untrusted.get(), chain_[i]->x509());
    if (X509_STORE_CTX_init(ctx.get(), store.get(), chain_.front()->x509(), untrusted.get()) != 1)
        return fail(NRVTrustResult::kOtherError, "could not set up the chain check");
    X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    X509_VERIFY_PARAM_set_auth_level(param, kMinimumSecurityLevel);
    if (!host_.empty()) {
        // An address literal is matched against the address entries, a name
        // against the DNS names; the subject's common name never counts.
        std::string bare = host_;
        if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
        if (X509_VERIFY_PARAM_set1_ip_asc(param, bare.c_str()) != 1) {
            X509_VERIFY_PARAM_set_hostflags(param,
                                            X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
            if (X509_VERIFY_PARAM_set1_host(param, bare.data(), bare.size()) != 1)
                return fail(NRVTrustResult::kRecoverableTrustFailure, "the host name cannot be checked");
        }
    }
    int ok = X509_verify_cert(ctx.get());
    ERR_clear_error();
    if (ok == 1) {
        lastFailureReason_.clear();
        if (failureReason) failureReason->clear();
        return NRVTrustResult::kUnspecified;
    }
    int err = X509_STORE_CTX_get_error(ctx.get());
    return fail(NRVTrustResult::kRecoverableTrustFailure,
                std::string(X509_verify_cert_error_string(err)) + " (depth " +
                    std::to_string(X509_STORE_CTX_get_error_depth(ctx.get())) + ")");
}

NRVServerTrust::Evaluation NRVServerTrust::evaluateAgainstSystemAnchors(const STACK_OF(X509) * chain,
                                                                         const std::string& host) {
    Evaluation out;
    NRVServerTrustRef trust = createWithX509Chain(chain, host);
    if (!trust) {
        out.failureReason = "Could not obtain SSL transaction state";
        return out;
    }
    NRVCertificateArray anchors = NRVSystemKeychain::rootCAs();
    if (!anchors || anchors->empty()) {
        out.failureReason = "Missing verification certificate(s)";
        return out;
    }
    trust->setAnchorCertificates(std::move(anchors));
    trust->setAnchorCertificatesOnly(true);
    out.result = trust->evaluate(&out.failureReason);
    return out;
}
