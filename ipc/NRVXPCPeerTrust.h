// The peer checks the interprocess classes make, in one place: whether the
// process behind a connection is signed by the maker from an expected
// location, and whether it runs hardened without unwanted entitlements.
#pragma once

#include "ipc/NRVXPCTypes.h"

namespace NRVXPCPeerTrust {

bool isNerovaSignTypeForConnection(const NRVXPCConnectionRef& connection);
bool areHardenRuntimeEntitlementsValid(const NRVXPCConnectionRef& connection);

}  // namespace NRVXPCPeerTrust

namespace NRVXPCPeerTrust {
// The POSIX name of a user id, for log lines; the number when unknown.
std::string posixNameForUid(std::uint32_t uid);
}  // namespace NRVXPCPeerTrust
