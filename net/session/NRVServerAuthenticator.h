// Answers a TLS server-trust challenge with the system's anchor
// certificates only; what clients such as the telemetry broker hand their
// URL broker as challenge handler.
//
// Threading: evaluations run one at a time, synchronously, on the
// authenticator's serial queue "com.nerova.serverauthenticator.taskqueue"
// (watched by the queue monitor); callable from any thread.
#pragma once

#include <memory>
#include <optional>

#include "net/session/NRVURLAuthenticationChallenge.h"
#include "platform/dispatch/Dispatch.h"

class NRVServerAuthenticator {
public:
    NRVServerAuthenticator();

    // A credential for the trust when its chain leads to the anchors with
    // the result kUnspecified; nullopt for any other result (kProceed
    // included), another authentication method, or no trust.
    std::optional<NRVURLCredential> verifyServerAuthenticationForChallenge(
        const NRVURLAuthenticationChallenge& challenge);

private:
    std::shared_ptr<platform::dispatch::DispatchQueue> queue_;
};
