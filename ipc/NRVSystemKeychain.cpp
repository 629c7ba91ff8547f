#include "ipc/NRVSystemKeychain.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdlib>

#include "platform/dispatch/Dispatch.h"
#include "platform/fs/FileManager.h"

namespace {

// A CA bundle is a few hundred kilobytes; more is not a bundle.
constexpr std::uint64_t kMaxBundleSize = 16ull << 20;

struct Shared {
    std::shared_ptr<platform::dispatch::DispatchQueue> queue =
        platform::dispatch::DispatchQueue::createSerial("com.nerova.systemkeychain.taskqueue");
    NRVCertificateArray rootCAs;  // touched only on the queue
    bool loaded = false;
};

Shared& shared() {
    static Shared* instance = new Shared();
    return *instance;
}

NRVCertificateArray copyAnchorCertificates() {
    std::string path = NRVSystemKeychain::anchorCertificatesPath();
    std::optional<bool> isLink = platform::fs::isSymbolicLink(path);
    std::optional<std::uint64_t> size = platform::fs::fileSize(path);
    if (!isLink || !size || *size > kMaxBundleSize) return nullptr;
    std::optional<std::string> text = platform::fs::readFile(path);
    if (!text || text->size() > kMaxBundleSize) return nullptr;
    BIO* bio = BIO_new_mem_buf(text->data(), static_cast<int>(text->size()));
    if (!bio) return nullptr;
    auto certificates = std::make_shared<std::vector<NRVCertificateRef>>();
    while (X509* x509 = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        if (NRVCertificateRef certificate = NRVCertificate::createWithX509(x509)) certificates->push_back(certificate);
        X509_free(x509);
    }
    ERR_clear_error();  // the end of the bundle reads as an error
    BIO_free(bio);
    if (certificates->empty()) return nullptr;
    return certificates;
}

}  // namespace

std::string NRVSystemKeychain::anchorCertificatesPath() {
    const char* configured = std::getenv("NRV_ANCHOR_CERTIFICATES");
    return configured && *configured ? configured : "/etc/ssl/certs/ca-certificates.crt";
}

NRVCertificateArray NRVSystemKeychain::rootCAs() {
    Shared& s = shared();
    NRVCertificateArray result;
    s.queue->sync([&] {
        if (!s.loaded) {
            s.rootCAs = copyAnchorCertificates();
            s.loaded = true;
        }
        result = s.rootCAs;
    });
    return result;
}

void NRVSystemKeychain::refreshRootCAs() {
    Shared& s = shared();
    s.queue->sync([&] {
        s.rootCAs = copyAnchorCertificates();
        s.loaded = true;
    });
}
