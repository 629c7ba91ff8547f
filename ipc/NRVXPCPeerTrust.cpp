#include "ipc/NRVXPCPeerTrust.h"

#include "ipc/NRVCodeSignValidator.h"
#include "platform/process/ProcessInfo.h"

namespace NRVXPCPeerTrust {

bool isNerovaSignTypeForConnection(const NRVXPCConnectionRef& connection) {
    return connection && NRVCodeSignValidator::isNerovaSignTypeForAuditToken(connection->auditToken());
}

bool areHardenRuntimeEntitlementsValid(const NRVXPCConnectionRef& connection) {
    return connection && NRVCodeSignValidator::areHardenRuntimeEntitlementsValidForAuditToken(connection->auditToken());
}

std::string posixNameForUid(std::uint32_t uid) {
    return platform::process::userName(uid).value_or(std::to_string(uid));
}

}  // namespace NRVXPCPeerTrust
