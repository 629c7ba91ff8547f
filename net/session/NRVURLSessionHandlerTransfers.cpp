#include "net/session/NRVURLSessionHandler.h"

#include <cstdio>
#include <filesystem>
#include <random>

#include "foundation/NSErrorExtensions.h"
#include "foundation/NerovaLogger.h"
#include "ipc/notify/NRVDistributedNotification.h"
#include "net/url/NRVLogRedaction.h"
#include "net/session/NRVURLSessionHandlerInternal.h"
#include "platform/log/LogStore.h"
#include "platform/system/SystemEnvironment.h"

using platform::dispatch::DispatchQueue;
using platform::http::TransferErrorKind;
using platform::http::TransferResult;

namespace {

const NRVLogHandle& sessionLog() { return NerovaLogger::session(); }
// Debug records are dropped unless a sink takes them: skip building them.
bool debugging() { return sessionLog().isEnabled(platform::log::Level::Debug); }

constexpr const char* kURLErrorDomain = "NSURLErrorDomain";

NRVErrorRef handlerError(std::int64_t code, const std::string& description) {
    return std::make_shared<NRVError>(NRVURLSessionHandler::kErrorDomain, code,
                                      description.empty() ? "Unknown NRVURLSession operation error" : description);
}

std::string brokerText(const std::string& brokerID) { return brokerID.empty() ? "<nil>" : brokerID; }

}  // namespace

NRVErrorRef NRVURLError(std::int64_t code, const std::string& description, const std::string& detail) {
    auto error = std::make_shared<NRVError>(kURLErrorDomain, code, description);
    if (!detail.empty()) error->underlyingError = std::make_shared<NRVError>("libcurl", 0, detail);
    return error;
}

// The platform's URL error for a transfer failure.
NRVErrorRef NRVURLErrorForTransferResult(const TransferResult& result) {
    switch (result.kind) {
    case TransferErrorKind::None: return nullptr;
    case TransferErrorKind::Cancelled: return NRVURLError(-999, "cancelled", result.message);
    case TransferErrorKind::ConnectFailed: return NRVURLError(-1004, "Could not connect to the server.", result.message);
    case TransferErrorKind::HostNotFound:
        return NRVURLError(-1003, "A server with the specified hostname could not be found.", result.message);
    case TransferErrorKind::TimedOut: return NRVURLError(-1001, "The request timed out.", result.message);
    case TransferErrorKind::ServerTrustRefused: {
        auto error = std::make_shared<NRVError>(kURLErrorDomain, -1202, "The certificate for this server is invalid.");
        auto underlying = std::make_shared<NRVError>("libcurl", 0, result.message);
        // Why the chain was refused (expired, wrong name, weak key) travels
        // with the error and reaches the failure line through the underlying one.
        if (!result.trustFailureReason.empty()) {
            error->localizedFailureReason = result.trustFailureReason;
            underlying->localizedFailureReason = result.trustFailureReason;
        }
        error->underlyingError = std::move(underlying);
        return error;
    }
    case TransferErrorKind::SecureConnectionFailed:
        return NRVURLError(-1200, "An SSL error has occurred and a secure connection to the server cannot be made.",
                        result.message);
    case TransferErrorKind::UnsupportedURL: return NRVURLError(-1002, "unsupported URL", result.message);
    case TransferErrorKind::ConnectionLost: return NRVURLError(-1005, "The network connection was lost.", result.message);
    case TransferErrorKind::TooLarge: return NRVURLError(-1103, "resource exceeds maximum size", result.message);
    case TransferErrorKind::ProxyFailed:
        return NRVURLError(310, "There was a problem communicating with the web proxy server.", result.message);
    case TransferErrorKind::BadResponse: return NRVURLError(-1011, "The server returned an invalid response.", result.message);
    case TransferErrorKind::FileError: return NRVURLError(-3000, "cannot create file", result.message);
    case TransferErrorKind::Other: break;
    }
    return NRVURLError(-1, "unknown error", result.message);
}

namespace {

NRVHTTPURLResponseRef responseFromHead(const std::optional<platform::http::ResponseHead>& head) {
    if (!head) return nullptr;
    NRVDictionary fields;
    fields.reserve(head->headers.size());
    for (const auto& [name, value] : head->headers) {
        if (NRVValue* existing = fields.find(name); existing && existing->asString()) {
            fields.set(name, *existing->asString() + ", " + value);
        } else {
            fields.set(name, value);
        }
    }
    return std::make_shared<NRVHTTPURLResponse>(head->url, head->status, std::move(fields));
}

std::string methodOf(const NRVURLRequest& request) { return request.HTTPMethod.empty() ? "GET" : request.HTTPMethod; }

platform::http::Request transportRequest(const NRVURLRequest& request) {
    platform::http::Request r;
    r.url = request.URL;
    r.method = methodOf(request);
    r.headers = request.allHTTPHeaderFields;
    if (!request.HTTPBody.empty()) {
        r.body = std::make_shared<const std::string>(request.HTTPBody.begin(), request.HTTPBody.end());
    }
    r.idleTimeoutMs = request.timeoutInterval > 0 ? static_cast<long>(request.timeoutInterval * 1000) : 0;
    return r;
}

std::string newDownloadPath() {
    std::random_device device;
    char name[64];
    std::snprintf(name, sizeof name, "CFNetworkDownload_%08X%08X.tmp", device(), device());
    return platform::temporaryDirectory() + name;
}

std::string errorText(const NRVErrorRef& error) { return error ? error->localizedDescription : "<nil>"; }

}  // namespace

// --- requests ---------------------------------------------------------------

namespace {

struct EntryTexts {
    std::int64_t noContainer, noSession;
    const char* failed;  // "dataWithRequest" ...
};

EntryTexts textsFor(NRVURLSessionTask::Kind kind) {
    switch (kind) {
    case NRVURLSessionTask::Kind::kUpload: return {1101, 1102, "uploadWithRequest"};
    case NRVURLSessionTask::Kind::kDownload: return {1201, 1202, "downloadWithRequest"};
    default: return {1001, 1002, "dataWithRequest"};
    }
}

const char* labelFor(NRVURLSessionTask::Kind kind) {
    switch (kind) {
    case NRVURLSessionTask::Kind::kUpload: return "uploadTask";
    case NRVURLSessionTask::Kind::kDownload: return "downloadTask";
    default: return "dataTask";
    }
}

NRVDictionary unavailableProxyDetails() {
    NRVDictionary details;
    details.set("proxyUsageDescription", "Proxy unavailable: no session selected");
    details.set("brokerConfigType", 3);
    return details;
}

}  // namespace

void NRVURLSessionHandler::enterRequest(const std::shared_ptr<NRVHandlerRequest>& entry, const std::string& brokerID) {
    auto self = shared_from_this();
    // The engine's thread runs the queue when it is idle: the request then
    // reaches the engine with no thread in between.
    engine_->dispatch(taskQueue_, [self, entry, brokerID] {
        const bool isData = entry->kind == NRVURLSessionTask::Kind::kData;
        if (isData && debugging()) sessionLog().debug("Executing dataWithRequest() on handler taskQueue for (BrokerID: " + brokerID + ")");
        const EntryTexts texts = textsFor(entry->kind);
        entry->container = self->lookUp(brokerID);
        NRVErrorRef error;
        if (!entry->container) {
            error = handlerError(texts.noContainer, "No URL session container found for broker '" + brokerText(brokerID) + "'");
            sessionLog().error(std::string(texts.failed) + " failed: " + error->localizedDescription);
        } else if (auto first = entry->container->firstSession()) {
            if (isData && debugging()) sessionLog().debug("Acquiring first session to execute task on");
            self->startAttempt(entry, first);
            return;
        } else {
            error = handlerError(texts.noSession, "No URL sessions available for broker '" + brokerText(brokerID) + "'");
            sessionLog().error(std::string(texts.failed) + " failed. url=" + NRVLogRedaction::redactedURL(entry->request.URL) +
                               " method=" + methodOf(entry->request) + " error=" + error->localizedDescription);
        }
        entry->response->addResultWithProxy(unavailableProxyDetails(), nullptr, nullptr, error);
        self->resolve(entry, std::nullopt);
    });
}

void NRVURLSessionHandler::dataWithRequest(const NRVURLRequest& request, const std::string& brokerID,
                                           DataResolution resolution) {
    auto entry = std::make_shared<NRVHandlerRequest>();
    entry->kind = NRVURLSessionTask::Kind::kData;
    entry->request = request;
    entry->dataReply = std::move(resolution);
    enterRequest(entry, brokerID);
}

void NRVURLSessionHandler::uploadWithRequest(const NRVURLRequest& request, const std::string& brokerID,
                                             const NRVData& data, DataResolution resolution) {
    NRVURLRequest copy = request;
    copy.HTTPBody = data;
    // The same entry path as a data request, with the upload's texts.
    auto entry = std::make_shared<NRVHandlerRequest>();
    entry->kind = NRVURLSessionTask::Kind::kUpload;
    entry->request = std::move(copy);
    entry->dataReply = std::move(resolution);
    enterRequest(entry, brokerID);
}

void NRVURLSessionHandler::downloadWithRequest(const NRVURLRequest& request, const std::string& brokerID,
                                               DownloadResolution resolution) {
    auto entry = std::make_shared<NRVHandlerRequest>();
    entry->kind = NRVURLSessionTask::Kind::kDownload;
    entry->request = request;
    entry->downloadReply = std::move(resolution);
    enterRequest(entry, brokerID);
}

void NRVURLSessionHandler::resolve(const std::shared_ptr<NRVHandlerRequest>& request, std::optional<NRVData> data) {
    if (request->kind == NRVURLSessionTask::Kind::kDownload) {
        if (request->downloadReply) request->downloadReply(request->response);
    } else if (request->dataReply) {
        request->dataReply(request->response, std::move(data));
    }
}

void NRVURLSessionHandler::startAttempt(const std::shared_ptr<NRVHandlerRequest>& request,
                                        const NRVURLSessionRef& session) {
    if (debugging()) {
        sessionLog().debug((request->kind == NRVURLSessionTask::Kind::kData ? "Creating completion handler, task for session "
                                                                            : "Attempting communication with session ") +
                           session->hashText());
    }
    auto task = std::make_shared<NRVURLSessionTask>(request->kind, request->request, session);
    request->container->addTaskSynchronously(task);
    if (request->kind == NRVURLSessionTask::Kind::kData && debugging()) {
        sessionLog().debug("Resuming task: attempting communication with session " + session->hashText());
    }
    runTransfer(request, task, std::make_shared<NRVHandlerAuthState>());
}

void NRVURLSessionHandler::runTransfer(const std::shared_ptr<NRVHandlerRequest>& request,
                                       const NRVURLSessionTaskRef& task,
                                       const std::shared_ptr<NRVHandlerAuthState>& auth) {
    platform::http::Request r = transportRequest(task->originalRequest());
    r.proxyCredentials = auth->proxy;
    r.serverCredentials = auth->server;
    std::string downloadPath;
    if (request->kind == NRVURLSessionTask::Kind::kDownload) {
        downloadPath = newDownloadPath();
        r.downloadPath = downloadPath;
    } else {
        r.maxBodyBytes = maxDataBodyBytes_;
    }
    r.maxDecodedBytes = maxDecodedBodyBytes_;
    auto body = std::make_shared<NRVData>();
    std::weak_ptr<NRVURLSessionHandler> weak = shared_from_this();
    platform::http::TransferDelegate delegate;
    delegate.onData = [body](const char* data, std::size_t size) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
        body->insert(body->end(), bytes, bytes + size);
        return true;
    };
    delegate.onComplete = [weak, request, task, auth, body, downloadPath](TransferResult result) {
        auto self = weak.lock();
        if (!self) return;
        // Run on the engine's thread when the queue is idle: the resolution
        // then reaches the caller with one hand-over.
        self->engine_->dispatch(self->taskQueue_, [self, request, task, auth, body, downloadPath,
                                                   result = std::move(result)] {
            self->transferDone(request, task, auth, result, body, downloadPath);
        });
    };
    auto transfer = engine_->start(task->session()->transport(), std::move(r), std::move(delegate), trustHookFor(task));
    task->setCanceller([transfer] { transfer->cancel(); });
    if (task->cancelledByClient()) transfer->cancel();
}

void NRVURLSessionHandler::transferDone(const std::shared_ptr<NRVHandlerRequest>& request,
                                        const NRVURLSessionTaskRef& task,
                                        const std::shared_ptr<NRVHandlerAuthState>& auth, const TransferResult& result,
                                        const std::shared_ptr<NRVData>& body, const std::string& downloadPath) {
    const NRVURLSessionRef session = task->session();
    const bool isData = request->kind == NRVURLSessionTask::Kind::kData;
    if (isData && debugging()) sessionLog().debug("Task done; completionHandler running for session " + session->hashText());
    NRVHTTPURLResponseRef response = responseFromHead(result.response);
    NRVErrorRef error = NRVURLErrorForTransferResult(result);
    if (retryAfterChallenge(task, result, *auth, &response, &error)) {
        std::error_code ignored;
        if (!downloadPath.empty()) std::filesystem::remove(downloadPath, ignored);
        runTransfer(request, task, auth);
        return;
    }
    if (task->cancelledByClient()) error = NRVURLError(-999, "cancelled", "cancelled by the client");
    task->setResponse(response);
    task->setState(NRVURLSessionTask::State::kCompleted);

    NRVDictionary details = request->container->proxyDetailsForSession(session);
    std::optional<NRVData> data;
    if (!error && request->kind != NRVURLSessionTask::Kind::kDownload) {
        data = std::move(*body);
    } else {
        NRVData().swap(*body);  // a failed attempt's partial body goes at once
    }
    std::optional<std::string> location;
    if (request->kind == NRVURLSessionTask::Kind::kDownload && !error) location = downloadPath;
    request->response->addResultWithProxy(details, response, data ? &*data : nullptr, location, error);

    // Whatever the client did not move away goes, as the platform's
    // temporary download files do once the completion handler returned.
    auto removeDownload = [&downloadPath] {
        std::error_code ignored;
        if (!downloadPath.empty()) std::filesystem::remove(downloadPath, ignored);
    };
    const std::string label = labelFor(request->kind);
    if (error) {
        if (task->cancelledByClient()) {
            // The client asked to stop: no other route is tried.
            sessionLog().log("Communication via session " + session->hashText() + " cancelled by the client");
            resolve(request, std::nullopt);
            removeDownload();
            logOperationFailure(label, request->request, session, error, nullptr, details, response);
            return;
        }
        reportCustomProxyFailure(details);
        NRVURLSessionRef next = request->container->nextSession(session);
        if (next) {
            sessionLog().log("Communication via session " + session->hashText() + " failed, trying next session " +
                             next->hashText());
            startAttempt(request, next);
        } else {
            sessionLog().log("Communication via session " + session->hashText() +
                             (isData ? " failed, failing communication: no sessions left to retry with"
                                     : " failed, failing communication"));
            resolve(request, std::nullopt);
        }
        removeDownload();
        logCookies(session, request->request, label + " error");
        logOperationFailure(label, request->request, session, error, next, details, response);
        return;
    }
    {
        // One write for the three lines, and all of them in the store
        // before the client has its answer.
        platform::log::Batch batch;
        sessionLog().log("Communication via session " + session->hashText() + " successful");
        logCookies(session, request->request, label);
    }
    resolve(request, std::move(data));
    removeDownload();
    request->container->reportSuccessForSession(session);
}

void NRVURLSessionHandler::logOperationFailure(const std::string& label, const NRVURLRequest& request,
                                               const NRVURLSessionRef& session, const NRVErrorRef& error,
                                               const NRVURLSessionRef& next, const NRVDictionary& details,
                                               const NRVHTTPURLResponseRef& response) {
    const NRVValue* usage = details.find("proxyUsageDescription");
    const std::string proxy = usage && usage->asString() ? *usage->asString() : "<unavailable>";
    sessionLog().error(label + " failed. url=" + (request.URL.empty() ? "<nil>" : NRVLogRedaction::redactedURL(request.URL)) +
                       " method=" + methodOf(request) + " session=" + session->hashText() +
                       " status=" + std::to_string(response ? response->statusCode() : 0) + " proxy=" + proxy +
                       " retry=" + (next ? "YES" : "NO") + " errorDomain=" + (error ? error->domain : "<nil>") +
                       " errorCode=" + std::to_string(error ? error->code : 0) + " error=" + errorText(error) +
                       " underlying=" + (error ? NSErrorExtensions::getNSUnderlyingErrorKeys(*error) : "<nil>"));
}

void NRVURLSessionHandler::reportCustomProxyFailure(const NRVDictionary& details) {
    const NRVValue* type = details.find("brokerConfigType");
    const NRVValue* custom = details.find("customProxyDetails");
    const NRVValue* host = custom ? (*custom)["proxyHost"] : nullptr;
    if (!host || !host->asString() || !type || !type->asInteger() ||
        *type->asInteger() != static_cast<std::int64_t>(NRVURLBrokerConfiguration::kMessageRelayConfiguration)) {
        return;
    }
    const std::string relay = *host->asString();
    NerovaLogger::session().log("Report message relay failure for host: " + relay);
    if (!selfReportMessageRelayErrors_) {
        // Posting may first have to reach the notification services; the
        // failover must not wait for that.
        DispatchQueue::global()->async(
            [relay] { NRVDistributedNotification::notify(kMessageRelayFailureNotification, NRVValue(relay)); });
    } else {
        trimMessageRelayFromConfig(relay);
    }
}
