#include "ipc/NRVXPCPeerTrust.h"

#include "ipc/NRVCodeSignValidator.h"

namespace NRVXPCPeerTrust {

bool isNerovaSignTypeForConnection(const NRVXPCConnectionRef& connection) {
    return connection && NRVCodeSignValidator::isNerovaSignTypeForAuditToken(connection->auditToken());
}

bool areHardenRuntimeEntitlementsValid(const NRVXPCConnectionRef& connection) {
    return connection && NRVCodeSignValidator::areHardenRuntimeEntitlementsValidForAuditToken(connection->auditToken());
}

}  // namespace NRVXPCPeerTrust
