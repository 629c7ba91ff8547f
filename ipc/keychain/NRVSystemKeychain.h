// The system's anchor (root CA) certificates, read once per process and
// handed to every caller as the same array; refreshRootCAs() reads them again.
//
// The anchors come from the CA bundle "/etc/ssl/certs/ca-certificates.crt",
// or from the file named by NRV_ANCHOR_CERTIFICATES when that is set and
// passes the ownership rule of platform/fs/TrustedItem.h (root's or this
// user's, writable by nobody else, nor are the folders above it); a file that
// fails it is logged in one line and the system's bundle is read instead.
//
// Threading: both calls run synchronously on the class's serial queue
// "com.nerova.systemkeychain.taskqueue", so no reader sees a half-replaced
// list; neither may be called from a block running on that queue.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ipc/keychain/NRVCertificate.h"

using NRVCertificateArray = std::shared_ptr<const std::vector<NRVCertificateRef>>;

class NRVSystemKeychain {
public:
    NRVSystemKeychain() = delete;

    // The cached anchors, read on first use; nullptr when none could be read.
    static NRVCertificateArray rootCAs();
    static void refreshRootCAs();

    // Where the anchors are read from.
    static std::string anchorCertificatesPath();
};
