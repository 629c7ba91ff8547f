// A certificate together with the private key of its public key.
#pragma once

#include "ipc/keychain/NRVCertificate.h"
#include "ipc/keychain/NRVKey.h"

struct NRVIdentity {
    NRVCertificateRef certificate;
    NRVKeyRef privateKey;
};
