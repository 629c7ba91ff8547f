#include "net/session/NRVURLCredential.h"

NRVURLCredential NRVURLCredential::credentialWithUser(std::string user, std::string password, Persistence persistence) {
    NRVURLCredential c;
    c.user_ = std::move(user);
    c.password_ = std::move(password);
    c.persistence_ = persistence;
    return c;
}

NRVURLCredential NRVURLCredential::credentialForTrust(NRVServerTrustRef trust) {
    NRVURLCredential c;
    c.persistence_ = Persistence::kForSession;
    c.trust_ = std::move(trust);
    return c;
}
