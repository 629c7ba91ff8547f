// Fields of a certificate in the dictionary forms the keychain toolkit
// compares and reports: subject, issuer, serial number, validity, signature.
#pragma once

#include <optional>
#include <string>

#include "ipc/keychain/NRVCertificate.h"
#include "platform/value/NRVValue.h"

namespace QKWCertificateInfo {

// Keys of the dictionaries below (object identifiers in dotted form).
inline constexpr const char* kCommonNameOID = "2.5.4.3";
inline constexpr const char* kSerialNumberOID = "2.16.840.1.113741.2.1.1.1.3";
inline constexpr const char* kValidityNotBeforeOID = "2.16.840.1.113741.2.1.1.1.5";
inline constexpr const char* kValidityNotAfterOID = "2.16.840.1.113741.2.1.1.1.6";
inline constexpr const char* kInvalidityDateOID = "2.5.29.24";

// Every subject component but the common name by its identifier (the last
// one wins when one repeats); all common names as an array under
// kCommonNameOID (empty when there are none); the serial number under
// kSerialNumberOID.
NRVDictionary subjectInfoFromCertificate(const NRVCertificateRef& certificate);
NRVDictionary issuerInfoFromCertificate(const NRVCertificateRef& certificate);
// Upper-case hexadecimal pairs separated by single blanks; nullopt for none.
std::optional<std::string> serialNumberFromCertificate(const NRVCertificateRef& certificate);
NRVDictionary validityInfoFromCertificate(const NRVCertificateRef& certificate);
std::string signatureStringFromCertRef(const NRVCertificateRef& certificate);
// Seconds since 2001-01-01 UTC to a date, whole seconds (the fraction
// dropped), computed in absolute time so no local-time shift can move it.
NRVDate dateWithAbsoluteTime(double absoluteTime);

// Equality of two subject dictionaries whatever the order of their keys.
bool isEqualToDictionary(const NRVDictionary& a, const NRVDictionary& b);

}  // namespace QKWCertificateInfo
