#include "ipc/xpc/NRVXPCConnectionAuditToken.h"

#include <cstring>

NRVData NRVXPCConnectionAuditToken::auditTokenData(const platform::AuditToken* token) {
    NRVData data(kAuditTokenLength, 0);
    if (token) std::memcpy(data.data(), token->val.data(), kAuditTokenLength);
    return data;
}

std::optional<platform::AuditToken> NRVXPCConnectionAuditToken::auditTokenFromData(const NRVData& data) {
    if (data.size() != kAuditTokenLength) return std::nullopt;
    platform::AuditToken token;
    std::memcpy(token.val.data(), data.data(), kAuditTokenLength);
    return token;
}
