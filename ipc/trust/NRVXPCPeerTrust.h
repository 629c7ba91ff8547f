// The peer checks the interprocess classes make on a connection: whether the
// process behind it is signed by the maker from an expected location, and
// whether it runs hardened without unwanted entitlements; and, for a client,
// whether the service it reached runs as the user that service must run as
// and is signed by the maker. All read the audit token the transport took
// when the socket connected.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ipc/xpc/NRVXPCTypes.h"
#include "platform/codesign/TrustPolicy.h"

namespace NRVXPCPeerTrust {

bool isNerovaSignTypeForConnection(const NRVXPCConnectionRef& connection);
bool areHardenRuntimeEntitlementsValid(const NRVXPCConnectionRef& connection);

// The user the service must run as: the policy's service user when it names
// one, else the login user of a per-user agent ("com.nerova.remote.zep.<login
// name>"), else root. nullopt when the agent's login name is no user.
std::optional<std::uint32_t> expectedUserOfService(const std::string& serviceName,
                                                   const platform::codesign::TrustPolicy& policy);
// Whether the service a client reached runs as its expected user (with a
// log line when not). An endpoint name proves nothing: anyone may bind a
// freed one, but only root can run a process as root.
bool isExpectedServiceUser(const NRVXPCConnectionRef& connection, const std::string& serviceName);
// Whether the process behind a service connection runs the maker's code as
// far as this client can tell: signed by the maker; or, for a client that is
// not root, running as root in this user namespace and still the process the
// audit token names. Such a client cannot read the executable of a root
// service, which marks itself not dumpable, and needs not: no ordinary user
// can run a process as root. A root client always checks the signature.
bool isServiceCode(const NRVXPCConnectionRef& connection);
// isExpectedServiceUser, then isServiceCode.
bool isExpectedService(const NRVXPCConnectionRef& connection, const std::string& serviceName);
// Whether the name is a per-user agent's ("com.nerova.remote.zep.<login
// name>"). Its client checks the agent's signature itself, with the refusal
// line and outcome of its own; the shared client connection checks the
// signature of every other service.
bool isPerUserAgentService(const std::string& serviceName);

}  // namespace NRVXPCPeerTrust
