// The peer checks the interprocess classes make on a connection: whether the
// process behind it is signed by the maker from an expected location, and
// whether it runs hardened without unwanted entitlements. Both read the
// audit token the transport took when the socket connected.
#pragma once

#include "ipc/NRVXPCTypes.h"

namespace NRVXPCPeerTrust {

bool isNerovaSignTypeForConnection(const NRVXPCConnectionRef& connection);
bool areHardenRuntimeEntitlementsValid(const NRVXPCConnectionRef& connection);

}  // namespace NRVXPCPeerTrust
