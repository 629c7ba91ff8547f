#include "net/session/NRVURLSessionHandler.h"

#include <openssl/x509_vfy.h>

#include <algorithm>

#include "foundation/NerovaLogger.h"
#include "net/session/NRVServerTrust.h"
#include "net/session/NRVURLSessionHandlerInternal.h"

using platform::http::TransferErrorKind;
using platform::http::TransferResult;

namespace {

const NRVLogHandle& sessionLog() { return NerovaLogger::session(); }

// A hostile server could ask for passwords forever; a handler that keeps
// answering is stopped after this many refusals.
constexpr long kMaximumChallengeRounds = 5;

// The challenge kind a refused answer stands for: Basic or Digest from the
// authentication header, or nothing for other schemes.
std::optional<std::string> passwordMethod(const NRVHTTPURLResponseRef& response, const char* header) {
    const std::string* value = response ? response->valueForHTTPHeaderField(header) : nullptr;
    if (!value) return std::nullopt;
    std::string lower = *value;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.find("digest") != std::string::npos) return std::string(NRVURLAuthenticationMethod::kHTTPDigest);
    if (lower.find("basic") != std::string::npos) return std::string(NRVURLAuthenticationMethod::kHTTPBasic);
    return std::nullopt;
}


}  // namespace

// --- retries after a challenge ----------------------------------------------

bool NRVURLSessionHandler::retryAfterChallenge(const NRVURLSessionTaskRef& task, const TransferResult& result,
                                               NRVHandlerAuthState& auth, NRVHTTPURLResponseRef* response,
                                               NRVErrorRef* error) {
    if (task->cancelledByClient()) return false;
    const NRVURLSessionRef& session = task->session();
    const bool tunnelRefused = result.kind == TransferErrorKind::ProxyFailed &&
                               (result.proxyConnectStatus == 407 ||
                                (result.proxyConnectStatus == 401 && auth.proxy.has_value()));
    // A 407 in answer to a plain request comes from the proxy in between,
    // whichever route chose it: the machine's proxy of the system route asks
    // like a configured one (and is refused, having no credentials to give).
    const bool answered407 = *response && (*response)->statusCode() == 407 && !auth.server;
    const std::optional<platform::http::ProxyRoute> proxy =
        tunnelRefused || answered407 ? NRVProxyInUseForSession(session, task->originalRequest().URL) : std::nullopt;
    if (tunnelRefused || (answered407 && proxy)) {
        // A proxy asking for (more) credentials.
        const platform::http::ProxyRoute route =
            proxy.value_or(NRVURLSession::routeForConfiguration(session->configuration().get()));
        NRVURLAuthenticationChallenge challenge;
        challenge.protectionSpace.isProxy = true;
        challenge.protectionSpace.host = route.host;
        challenge.protectionSpace.port = route.port;
        challenge.protectionSpace.protocol = "HTTP";
        challenge.protectionSpace.authenticationMethod =
            result.proxyAsksBasicOrDigest || auth.proxy ? NRVURLAuthenticationMethod::kHTTPBasic
                                                         : NRVURLAuthenticationMethod::kDefault;
        if (auto method = passwordMethod(*response, "Proxy-Authenticate")) {
            challenge.protectionSpace.authenticationMethod = *method;
        }
        challenge.previousFailureCount = auth.proxyFailures;
        challenge.failureResponse = *response;
        NRVURLAuthenticationAnswer answer = auth.proxyFailures < kMaximumChallengeRounds
                                                ? handleChallenge(task.get(), challenge)
                                                : NRVURLAuthenticationAnswer::cancel();
        if (answer.kind() == NRVURLAuthenticationAnswer::Kind::kUseCredential && answer.credential()->user()) {
            auth.proxyFailures++;
            auth.proxy = platform::http::Credentials{answer.credential()->user().value_or(""),
                                                     answer.credential()->password().value_or("")};
            return true;
        }
        // Refused: the attempt ends with the proxy's 407 on record.
        if (!*response) *response = std::make_shared<NRVHTTPURLResponse>(task->originalRequest().URL, 407, NRVDictionary());
        *error = NRVURLError(-1012, "cancelled", "proxy authentication refused");
        return false;
    }
    if (*response && (*response)->statusCode() == 401) {
        auto method = passwordMethod(*response, "WWW-Authenticate");
        if (!method) return false;
        NRVURLAuthenticationChallenge challenge;
        challenge.protectionSpace.protocol = task->originalRequest().URL.rfind("https", 0) == 0 ? "https" : "http";
        challenge.protectionSpace.authenticationMethod = *method;
        challenge.previousFailureCount = auth.serverFailures;
        challenge.failureResponse = *response;
        NRVURLAuthenticationAnswer answer = auth.serverFailures < kMaximumChallengeRounds
                                                ? handleChallenge(task.get(), challenge)
                                                : NRVURLAuthenticationAnswer::cancel();
        if (answer.kind() == NRVURLAuthenticationAnswer::Kind::kUseCredential && answer.credential()->user()) {
            auth.serverFailures++;
            auth.server = platform::http::Credentials{answer.credential()->user().value_or(""),
                                                      answer.credential()->password().value_or("")};
            return true;
        }
        if (answer.kind() == NRVURLAuthenticationAnswer::Kind::kCancel) {
            *error = NRVURLError(-1012, "cancelled", "server authentication refused");
        }
    }
    return false;
}

// --- challenges -------------------------------------------------------------

namespace {

// The peer's chain as a trust object; each certificate object takes its own
// reference, the TLS layer keeps its own.
NRVServerTrustRef trustForPeerChain(const STACK_OF(X509) * chain, const std::string& host) {
    if (!chain) return nullptr;
    std::vector<NRVCertificateRef> certificates;
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        X509* certificate = sk_X509_value(chain, i);
        if (!certificate) return nullptr;
        certificates.push_back(NRVCertificate::createWithX509(certificate));
    }
    return NRVServerTrust::create(std::move(certificates), host);
}

}  // namespace

platform::http::ServerTrustHook NRVURLSessionHandler::trustHookFor(const NRVURLSessionTaskRef& task) {
    std::weak_ptr<NRVURLSessionHandler> weakSelf = shared_from_this();
    std::weak_ptr<NRVURLSessionTask> weakTask = task;
    return [weakSelf, weakTask](x509_store_ctx_st* chain, const std::string& host, platform::Error* error) {
        auto self = weakSelf.lock();
        auto task = weakTask.lock();
        if (!self || !task) return false;
        NRVServerTrustRef trust = trustForPeerChain(X509_STORE_CTX_get0_untrusted(chain), host);
        if (!trust) return false;
        NRVURLAuthenticationChallenge challenge;
        challenge.protectionSpace.host = host;
        challenge.protectionSpace.protocol = "https";
        challenge.protectionSpace.authenticationMethod = NRVURLAuthenticationMethod::kServerTrust;
        challenge.protectionSpace.serverTrust = trust;
        NRVURLAuthenticationAnswer answer = NRVURLAuthenticationAnswer::cancel();
        // Answered on the handler's queue, which never waits for this thread.
        self->taskQueue_->sync([&] { answer = self->handleChallenge(task.get(), challenge); });
        switch (answer.kind()) {
        case NRVURLAuthenticationAnswer::Kind::kUseCredential:
            return answer.credential() && answer.credential()->serverTrust() == trust;
        case NRVURLAuthenticationAnswer::Kind::kPerformDefaultHandling: {
            auto evaluation = NRVServerTrust::evaluateAgainstSystemAnchors(X509_STORE_CTX_get0_untrusted(chain), host);
            if (evaluation.result == NRVTrustResult::kUnspecified) return true;
            if (error) error->description = evaluation.failureReason;
            return false;
        }
        case NRVURLAuthenticationAnswer::Kind::kCancel: break;
        }
        // The handler's evaluation says why, when it made one.
        if (error) error->description = trust->lastFailureReason();
        return false;
    };
}

NRVURLAuthenticationAnswer NRVURLSessionHandler::handleChallenge(const NRVURLSessionTask* task,
                                                                 const NRVURLAuthenticationChallenge& challenge) {
    NRVURLSessionContainerRef container = containerForTask(task);
    NRVURLAuthenticationHandler authHandler = container ? container->authHandler() : nullptr;
    if (!container || !authHandler) {
        sessionLog().error("Challenge failed: could not obtain container for the task.");
        return NRVURLAuthenticationAnswer::cancel();
    }
    const auto& space = challenge.protectionSpace;
    const bool password = space.authenticationMethod == NRVURLAuthenticationMethod::kHTTPBasic ||
                          space.authenticationMethod == NRVURLAuthenticationMethod::kHTTPDigest;
    if (space.isProxy && password) {
        if (challenge.previousFailureCount < 1) {
            auto configuration = container->findConfigurationForSession(task->session());
            const std::uint64_t type = configuration ? configuration->proxyConfigType() : 0;
            if (type == NRVURLBrokerConfiguration::kCustomConfiguration ||
                type == NRVURLBrokerConfiguration::kMessageRelayConfiguration) {
                auto credential = NRVURLCredential::credentialWithUser(configuration->proxyUsername().value_or(""),
                                                                       configuration->proxyPassword().value_or(""),
                                                                       NRVURLCredential::Persistence::kNone);
                NerovaLogger::auth().log("Set credentials for configured session: " +
                                         configuration->proxyUsername().value_or("(null)") + ":<password>");
                return NRVURLAuthenticationAnswer::useCredential(credential);
            }
            sessionLog().error("Challenge failed: Proxy is not configured proxy");
            sessionLog().error("Proxy auth handler rejected.");
            return NRVURLAuthenticationAnswer::cancel();
        }
        const std::string previous = challenge.failureResponse ? challenge.failureResponse->description() : "(null)";
        sessionLog().error("Previous failure count is greater than 0. (previousFailureCount: " +
                           std::to_string(challenge.previousFailureCount) + ", previous error: (null), previous response: " +
                           previous + ")");
        return NRVURLAuthenticationAnswer::cancel();
    }
    NRVURLAuthenticationAnswer answer = authHandler(challenge, &task->originalRequest());
    if (answer.kind() == NRVURLAuthenticationAnswer::Kind::kCancel) sessionLog().error("User auth handler rejected.");
    return answer;
}

