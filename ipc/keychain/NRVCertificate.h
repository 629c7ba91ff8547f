// An X.509 certificate: what the keychain services hand around where the
// platform has a certificate reference. Immutable once made, so one object
// may be shared by any number of threads.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <openssl/x509.h>

#include "platform/crypto/OpenSSLPtr.h"
#include "platform/value/NRVValue.h"

class NRVCertificate;
using NRVCertificateRef = std::shared_ptr<const NRVCertificate>;

class NRVCertificate {
public:
    // nullptr when the bytes are not exactly one DER certificate.
    static NRVCertificateRef createWithData(std::span<const std::uint8_t> der);
    // Takes one reference of the certificate.
    static NRVCertificateRef createWithX509(X509* certificate);

    const NRVData& data() const { return der_; }
    X509* x509() const { return x509_.get(); }

    // Name components in certificate order: (dotted object identifier, UTF-8 value).
    std::vector<std::pair<std::string, std::string>> subjectComponents() const;
    std::vector<std::pair<std::string, std::string>> issuerComponents() const;
    // DER of the subject and issuer names, and the serial number's content bytes.
    NRVData subjectData() const;
    NRVData issuerData() const;
    NRVData serialNumberData() const;
    // Seconds since 1970 of the validity bounds; nullopt when unreadable.
    std::optional<double> notBefore() const;
    std::optional<double> notAfter() const;
    // The invalidity-date extension, when the certificate carries one.
    std::optional<double> invalidityDate() const;
    NRVData signature() const;
    // SHA-1 of the public key bits: how a private key is tied to its certificate.
    NRVData publicKeyHash() const;
    // true when a component of the subject equals `name` exactly.
    bool subjectMatchesWholeString(const std::string& name) const;

    bool operator==(const NRVCertificate& other) const { return der_ == other.der_; }

private:
    NRVCertificate(X509* x509, NRVData der);
    platform::crypto::OpenSSLPtr<X509> x509_;
    NRVData der_;
};
