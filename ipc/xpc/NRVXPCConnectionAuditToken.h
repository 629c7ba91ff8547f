// The audit token of a peer as 32 bytes: the form that travels to the
// signature checks. The transport adds the overload that takes a connection.
#pragma once

#include <optional>

#include "platform/process/AuditToken.h"
#include "platform/value/NRVValue.h"

class NRVXPCConnectionAuditToken {
public:
    NRVXPCConnectionAuditToken() = delete;

    static constexpr std::size_t kAuditTokenLength = 32;

    // The token's eight words in host byte order; a null token gives 32 zero bytes.
    static NRVData auditTokenData(const platform::AuditToken* token);
    // nullopt for data of any length other than 32.
    static std::optional<platform::AuditToken> auditTokenFromData(const NRVData& data);
};
