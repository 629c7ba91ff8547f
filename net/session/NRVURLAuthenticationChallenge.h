// A challenge met while loading a URL: a server or proxy asking for a
// password, or a TLS server whose trust must be decided; and the handler
// kind that answers it.
#pragma once

#include <functional>
#include <optional>

#include "net/url/NRVHTTPURLResponse.h"
#include "net/session/NRVURLCredential.h"
#include "net/session/NRVURLProtectionSpace.h"
#include "net/url/NRVURLRequest.h"

struct NRVURLAuthenticationChallenge {
    NRVURLProtectionSpace protectionSpace;
    // How many answers to this space were refused already on this task.
    long previousFailureCount = 0;
    std::optional<NRVURLCredential> proposedCredential;
    // The 401 or 407 answer that raised a password challenge.
    NRVHTTPURLResponseRef failureResponse;
};

// What a handler answers: a credential to use, "proceed without one" (the
// platform's null marker), or cancel (the platform's nil).
class NRVURLAuthenticationAnswer {
public:
    enum class Kind { kCancel, kPerformDefaultHandling, kUseCredential };

    static NRVURLAuthenticationAnswer cancel() { return NRVURLAuthenticationAnswer(Kind::kCancel); }
    static NRVURLAuthenticationAnswer performDefaultHandling() {
        return NRVURLAuthenticationAnswer(Kind::kPerformDefaultHandling);
    }
    static NRVURLAuthenticationAnswer useCredential(NRVURLCredential credential) {
        NRVURLAuthenticationAnswer a(Kind::kUseCredential);
        a.credential_ = std::move(credential);
        return a;
    }

    Kind kind() const { return kind_; }
    const std::optional<NRVURLCredential>& credential() const { return credential_; }

private:
    explicit NRVURLAuthenticationAnswer(Kind kind) : kind_(kind) {}
    Kind kind_;
    std::optional<NRVURLCredential> credential_;
};

// Takes the challenge and the task's original request (nullptr when the
// caller has none). Called on the session handler's queue.
using NRVURLAuthenticationHandler =
    std::function<NRVURLAuthenticationAnswer(const NRVURLAuthenticationChallenge&, const NRVURLRequest*)>;
