#include "ipc/NRVXPCPeerTrust.h"

#include "platform/xpc/XPCPeer.h"

namespace NRVXPCPeerTrust {

// Until the signature checks are wired in, a peer is trusted only when its
// token has a trustworthy shape and names the process that is still alive.
bool isNerovaSignTypeForConnection(const NRVXPCConnectionRef& connection) {
    return connection && platform::xpc::auditTokenIsCurrent(connection->auditToken());
}

bool areHardenRuntimeEntitlementsValid(const NRVXPCConnectionRef& connection) {
    return connection && platform::xpc::auditTokenIsCurrent(connection->auditToken());
}

}  // namespace NRVXPCPeerTrust

namespace NRVXPCPeerTrust {
std::string posixNameForUid(std::uint32_t uid) { return std::to_string(uid); }
}  // namespace NRVXPCPeerTrust
