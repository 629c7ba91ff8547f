// A certificate together with the private key of its public key.
#pragma once

#include "ipc/NRVCertificate.h"
#include "ipc/NRVKey.h"

struct NRVIdentity {
    NRVCertificateRef certificate;
    NRVKeyRef privateKey;
};
