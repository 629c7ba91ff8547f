// Checks a certificate chain (leaf first) against the system's anchors
// (NRVSystemKeychain::rootCAs) for server trust, and for revocation from an
// OCSP response stapled by the caller. Nothing is fetched from the network:
// an online and an offline check are the same check.
//
// Trust codes: 0 trusted (expired certificates are allowed), 1 not trusted,
// 2 no chain to evaluate, 4 the evaluation could not be set up.
// Revocation codes: 0 the chain verifies now and the response answers "good"
// for the leaf, 3 the response answers "revoked" for a certificate of the
// chain, 2 no usable answer (no response, one that does not verify or is not
// current, one that does not cover the leaf, a chain that does not verify,
// or no chain at all).
//
// Threading: stateless; any thread, except a block on the system keychain's
// queue.
#pragma once

#include <optional>
#include <vector>

#include "ipc/keychain/NRVCertificate.h"
#include "platform/value/NRVValue.h"

class NRVCertStatus {
public:
    NRVCertStatus() = delete;

    // A stapled response is a few kilobytes; more is refused unread.
    static constexpr std::size_t kMaxOCSPResponseSize = 1 << 20;

    static long checkTrustStatus(const std::vector<NRVCertificateRef>& certificates);
    static long checkRevocationStatus(const std::vector<NRVCertificateRef>& certificates, bool isOfflineCheck,
                                      const std::optional<NRVData>& ocspResponseData);
};
