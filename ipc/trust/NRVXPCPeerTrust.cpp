#include "ipc/trust/NRVXPCPeerTrust.h"

#include <string_view>

#include "foundation/NerovaLogger.h"
#include "ipc/trust/NRVCodeSignValidator.h"
#include "platform/process/ProcessInfo.h"
#include "platform/system/SystemEnvironment.h"

namespace NRVXPCPeerTrust {

bool isNerovaSignTypeForConnection(const NRVXPCConnectionRef& connection) {
    return connection && NRVCodeSignValidator::isNerovaSignTypeForAuditToken(connection->auditToken());
}

bool areHardenRuntimeEntitlementsValid(const NRVXPCConnectionRef& connection) {
    return connection && NRVCodeSignValidator::areHardenRuntimeEntitlementsValidForAuditToken(connection->auditToken());
}

namespace {
constexpr std::string_view kAgentPrefix = "com.nerova.remote.zep.";
}

bool isPerUserAgentService(const std::string& serviceName) { return serviceName.rfind(kAgentPrefix, 0) == 0; }

std::optional<std::uint32_t> expectedUserOfService(const std::string& serviceName,
                                                   const platform::codesign::TrustPolicy& policy) {
    if (policy.serviceUser) return policy.serviceUser;
    if (isPerUserAgentService(serviceName)) return platform::userIDForUserName(serviceName.substr(kAgentPrefix.size()));
    return 0;
}

bool isServiceCode(const NRVXPCConnectionRef& connection) {
    if (!connection) return false;
    const platform::AuditToken token = connection->auditToken();
    if (platform::process::effectiveUserID() != 0 && token.euid() == 0 && token.isTrustworthyShape() &&
        platform::process::sharesUserNamespace(token.pid()) && platform::process::isAuditTokenCurrent(token))
        return true;
    return isNerovaSignTypeForConnection(connection);
}

bool isExpectedService(const NRVXPCConnectionRef& connection, const std::string& serviceName) {
    return isExpectedServiceUser(connection, serviceName) && isServiceCode(connection);
}

bool isExpectedServiceUser(const NRVXPCConnectionRef& connection, const std::string& serviceName) {
    if (!connection) return false;
    const auto expected = expectedUserOfService(serviceName, platform::codesign::TrustPolicy::current());
    const std::uint32_t user = connection->effectiveUserIdentifier();
    if (!expected || *expected != user) {
        NerovaLogger::xpc().error("The process " + std::to_string(connection->processIdentifier()) +
                                  " serving '" + serviceName + "' runs as user " + std::to_string(user) +
                                  (expected ? ", not as user " + std::to_string(*expected) : ", and no user may serve it") +
                                  ".");
        return false;
    }
    return true;
}

}  // namespace NRVXPCPeerTrust
