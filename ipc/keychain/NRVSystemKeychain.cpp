#include "ipc/keychain/NRVSystemKeychain.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <filesystem>

#include "platform/dispatch/Dispatch.h"
#include "foundation/NerovaLogger.h"
#include "platform/crypto/OpenSSLPtr.h"
#include "platform/fs/FileManager.h"
#include "platform/fs/TrustedItem.h"
#include "platform/memory/NoDestructor.h"

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
    static platform::NoDestructor<Shared> instance;
    return *instance;
}

constexpr const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";

const NRVLogHandle& log() { return NerovaLogger::keychain(); }

// The bundle's text when it belongs to root or this user and nobody else can
// write it or the folders above it; the error's description says what is
// wrong otherwise.
std::optional<std::string> readTrustedBundle(const std::string& path, platform::Error* why) {
    using platform::fs::TrustedItemKind;
    if (!platform::fs::isTrustedItem(path, TrustedItemKind::File, why)) return std::nullopt;
    bool refused = false;
    auto text = platform::fs::readFileWithoutLinks(
        path, [&](const platform::fs::ItemAttributes& a) { return platform::fs::isTrustedOwnerAndMode(a, TrustedItemKind::File, why); },
        &refused, nullptr, nullptr, kMaxBundleSize);
    if (!text && !refused) *why = platform::Error{.operation = {}, .code = 0, .description = "cannot read " + path};
    return text;
}

std::optional<std::string> anchorBundleText() {
    const std::string configured = NRVSystemKeychain::anchorCertificatesPath();
    platform::Error why;
    if (configured != kSystemBundle) {
        if (auto text = readTrustedBundle(configured, &why)) return text;
        log().error("NRV_ANCHOR_CERTIFICATES: " + why.description + "; using " + kSystemBundle);
    }
    // The system's bundle may be a link to where the distribution keeps it.
    std::error_code ec;
    const std::string resolved = std::filesystem::canonical(kSystemBundle, ec).string();
    if (ec) return std::nullopt;
    auto text = readTrustedBundle(resolved, &why);
    if (!text) log().error("Anchor certificates not read: " + why.description);
    return text;
}

NRVCertificateArray copyAnchorCertificates() {
    std::optional<std::string> text = anchorBundleText();
    if (!text || text->size() > kMaxBundleSize) return nullptr;
    platform::crypto::OpenSSLPtr<BIO> bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
    if (!bio) return nullptr;
    auto certificates = std::make_shared<std::vector<NRVCertificateRef>>();
    while (platform::crypto::OpenSSLPtr<X509> x509{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)}) {
        if (NRVCertificateRef certificate = NRVCertificate::createWithX509(x509.get()))
            certificates->push_back(certificate);
    }
    ERR_clear_error();  // the end of the bundle reads as an error
    if (certificates->empty()) return nullptr;
    return certificates;
}

}  // namespace

std::string NRVSystemKeychain::anchorCertificatesPath() {
    const char* configured = std::getenv("NRV_ANCHOR_CERTIFICATES");
    return configured && *configured ? configured : kSystemBundle;
}

namespace {

void loadRootCAs(Shared& s) {
    platform::dispatch::dispatchAssertQueue(*s.queue);
    s.rootCAs = copyAnchorCertificates();
    s.loaded = true;
}

}  // namespace

NRVCertificateArray NRVSystemKeychain::rootCAs() {
    Shared& s = shared();
    NRVCertificateArray result;
    s.queue->sync([&] {
        if (!s.loaded) loadRootCAs(s);
        result = s.rootCAs;
    });
    return result;
}

void NRVSystemKeychain::refreshRootCAs() {
    Shared& s = shared();
    s.queue->sync([&] { loadRootCAs(s); });
}
