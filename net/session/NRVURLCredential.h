// An answer to an authentication challenge: a user name and password (for
// a server's or a proxy's password challenge) or an accepted server trust.
// A value type.
#pragma once

#include <optional>
#include <string>

#include "net/session/NRVServerTrust.h"

class NRVURLCredential {
public:
    enum class Persistence { kNone, kForSession, kPermanent };

    static NRVURLCredential credentialWithUser(std::string user, std::string password,
                                               Persistence persistence = Persistence::kForSession);
    // Accepts the trust's server for this connection.
    static NRVURLCredential credentialForTrust(NRVServerTrustRef trust);

    const std::optional<std::string>& user() const { return user_; }
    const std::optional<std::string>& password() const { return password_; }
    bool hasPassword() const { return password_.has_value(); }
    Persistence persistence() const { return persistence_; }
    // The accepted trust; nullptr for a password credential.
    const NRVServerTrustRef& serverTrust() const { return trust_; }

private:
    NRVURLCredential() = default;
    std::optional<std::string> user_;
    std::optional<std::string> password_;
    Persistence persistence_ = Persistence::kNone;
    NRVServerTrustRef trust_;
};
