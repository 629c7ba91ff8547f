#include "net/session/NRVServerAuthenticator.h"

#include "foundation/NRVQueueMonitor.h"
#include "foundation/NerovaLogger.h"
#include "ipc/keychain/NRVSystemKeychain.h"

NRVServerAuthenticator::NRVServerAuthenticator()
    : queue_(platform::dispatch::DispatchQueue::createSerial("com.nerova.serverauthenticator.taskqueue")) {
    NRVQueueMonitor::monitorDispatchQueue(queue_);
}

std::optional<NRVURLCredential> NRVServerAuthenticator::verifyServerAuthenticationForChallenge(
    const NRVURLAuthenticationChallenge& challenge) {
    const NRVURLProtectionSpace& space = challenge.protectionSpace;
    if (space.authenticationMethod != NRVURLAuthenticationMethod::kServerTrust || !space.serverTrust)
        return std::nullopt;
    std::optional<NRVURLCredential> answer;
    auto check = [&] {
        space.serverTrust->setAnchorCertificates(NRVSystemKeychain::rootCAs());
        space.serverTrust->setAnchorCertificatesOnly(true);
        NRVTrustResult result = space.serverTrust->evaluate();
        if (result == NRVTrustResult::kUnspecified) {
            NerovaLogger::auth().log("Successfully validate server certificate.");
            answer = NRVURLCredential::credentialForTrust(space.serverTrust);
        } else {
            NerovaLogger::auth().error("Failed to validate server certificate. Trust result: " +
                                       std::to_string(static_cast<std::uint32_t>(result)));
        }
    };
    // Never wait on the queue from a block already running on it.
    if (queue_->isCurrent())
        check();
    else
        queue_->sync(check);
    return answer;
}
