#include "ipc/keychain/QKWCertificateInfo.h"

#include <cmath>

#include "foundation/NerovaLogger.h"

namespace QKWCertificateInfo {

namespace {

std::string hexPairs(const NRVData& bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
        out += ' ';
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

NRVDictionary subjectInfoFromCertificate(const NRVCertificateRef& certificate) {
    NRVDictionary info;
    if (!certificate) return info;
    NRVArray commonNames;
    for (auto& [oid, value] : certificate->subjectComponents()) {
        if (oid == kCommonNameOID) commonNames.emplace_back(value);
        else info.set(oid, value);
    }
    info.set(kCommonNameOID, std::move(commonNames));
    if (std::optional<std::string> serial = serialNumberFromCertificate(certificate)) {
        NRVDefaultLog().log("subjectInfo[" + std::string(kSerialNumberOID) + "] = " + *serial);
        info.set(kSerialNumberOID, *serial);
    }
    return info;
}

NRVDictionary issuerInfoFromCertificate(const NRVCertificateRef& certificate) {
    NRVDictionary info;
    if (!certificate) return info;
    for (auto& [oid, value] : certificate->issuerComponents()) info.set(oid, value);
    return info;
}

std::optional<std::string> serialNumberFromCertificate(const NRVCertificateRef& certificate) {
    if (!certificate) return std::nullopt;
    NRVData serial = certificate->serialNumberData();
    if (serial.empty()) return std::nullopt;
    return hexPairs(serial);
}

NRVDictionary validityInfoFromCertificate(const NRVCertificateRef& certificate) {
    NRVDictionary info;
    if (!certificate) return info;
    auto put = [&](const char* oid, std::optional<double> unixSeconds) {
        if (unixSeconds) info.set(oid, NRVDate::fromUnix(*unixSeconds));
    };
    put(kValidityNotBeforeOID, certificate->notBefore());
    put(kValidityNotAfterOID, certificate->notAfter());
    put(kInvalidityDateOID, certificate->invalidityDate());
    return info;
}

std::string signatureStringFromCertRef(const NRVCertificateRef& certificate) {
    return certificate ? hexPairs(certificate->signature()) : std::string();
}

NRVDate dateWithAbsoluteTime(double absoluteTime) { return NRVDate{std::floor(absoluteTime)}; }

bool isEqualToDictionary(const NRVDictionary& a, const NRVDictionary& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const NRVValue* other = b.find(a.keyAt(i));
        if (!other || !(*other == a.valueAt(i))) return false;
    }
    return true;
}

}  // namespace QKWCertificateInfo
