// The push-stream and web-socket half of NRVURLSessionHandler.
#include <algorithm>
#include <chrono>

#include "foundation/NSErrorExtensions.h"
#include "foundation/NerovaLogger.h"
#include "net/url/NRVLogRedaction.h"
#include "net/session/NRVURLSessionHandler.h"
#include "net/session/NRVURLSessionHandlerInternal.h"
#include "net/session/NRVWebSocketTask.h"

using platform::http::TransferErrorKind;
using platform::http::TransferResult;

namespace {

NRVErrorRef streamError(std::int64_t code, const std::string& description) {
    return std::make_shared<NRVError>(NRVURLSessionHandler::kErrorDomain, code, description);
}

NRVDictionary unavailableDetails() {
    NRVDictionary details;
    details.set("proxyUsageDescription", "Proxy unavailable: no session selected");
    details.set("brokerConfigType", 3);
    return details;
}

std::string taskText(const NRVURLSessionTask& task) { return task.description(); }

std::string proxyText(const NRVDictionary& details) {
    const NRVValue* usage = details.find("proxyUsageDescription");
    return usage && usage->asString() ? *usage->asString() : "<unavailable>";
}

std::size_t characterCount(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

NRVHTTPURLResponseRef headToResponse(const std::optional<platform::http::ResponseHead>& head) {
    if (!head) return nullptr;
    NRVDictionary fields;
    for (const auto& [name, value] : head->headers) fields.set(name, value);
    return std::make_shared<NRVHTTPURLResponse>(head->url, head->status, std::move(fields));
}

}  // namespace


// --- push streams -----------------------------------------------------------

void NRVURLSessionHandler::connectToPushServer(const NRVURLRequest& request, const std::string& brokerID,
                                               NRVPushConnectionHandler connectionHandler) {
    auto self = shared_from_this();
    taskQueue_->async([self, request, brokerID, connectionHandler] {
        if (!connectionHandler) {
            NerovaLogger::push().error("connectToPushServer failed: connection handler is nil for broker " + brokerID);
            self->sseState_ = 3;
            return;
        }
        self->sseState_ = 1;
        auto container = self->lookUp(brokerID);
        if (!container) {
            NerovaLogger::push().log("connectToPushServer failed: no container for broker " + brokerID);
            connectionHandler(nullptr, std::nullopt, streamError(1302, "No URL session container found for push broker"));
            self->sseState_ = 3;
            return;
        }
        container->setConnectionHandler(connectionHandler);
        auto first = container->firstSession();
        if (!first) {
            NerovaLogger::push().log("connectToPushServer failed. broker=" + brokerID + " url=" + NRVLogRedaction::redactedURL(request.URL) +
                                     " method=" + request.HTTPMethod + " reason=no available sessions");
            auto error = streamError(1301, "No URL sessions available for push connection");
            auto response = std::make_shared<NRVURLResponse>();
            response->addResultWithProxy(unavailableDetails(), nullptr, nullptr, error);
            connectionHandler(response, std::nullopt, error);
            self->sseState_ = 3;
            return;
        }
        self->connectToPushServerForContainer(request, container, first);
    });
}

void NRVURLSessionHandler::connectToPushServerForContainer(const NRVURLRequest& request,
                                                           const NRVURLSessionContainerRef& container,
                                                           const NRVURLSessionRef& session) {
    NerovaLogger::push().log("Attempting communication with session " + session->hashText());
    logCookies(session, request, "pushServer");
    auto task = std::make_shared<NRVURLSessionTask>(NRVURLSessionTask::Kind::kStream, request, session);
    container->addTaskSynchronously(task);
    runStreamTransfer(task, std::make_shared<NRVHandlerAuthState>());
}

void NRVURLSessionHandler::runStreamTransfer(const NRVURLSessionTaskRef& task,
                                             const std::shared_ptr<NRVHandlerAuthState>& auth) {
    platform::http::Request r;
    r.url = task->originalRequest().URL;
    r.method = task->originalRequest().HTTPMethod.empty() ? "GET" : task->originalRequest().HTTPMethod;
    r.headers = task->originalRequest().allHTTPHeaderFields;
    r.idleTimeoutMs = task->originalRequest().timeoutInterval > 0
                          ? static_cast<long>(task->originalRequest().timeoutInterval * 1000)
                          : 0;
    r.proxyCredentials = auth->proxy;
    r.serverCredentials = auth->server;
    std::weak_ptr<NRVURLSessionHandler> weak = shared_from_this();
    platform::http::TransferDelegate delegate;
    delegate.onResponse = [weak, task](const platform::http::ResponseHead& head) {
        if (auto self = weak.lock()) {
            auto response = headToResponse(head);
            self->taskQueue_->async([self, task, response] { self->didReceiveResponse(task, response); });
        }
    };
    delegate.onData = [weak, task](const char* data, std::size_t size) {
        auto self = weak.lock();
        if (!self) return false;
        NRVData chunk(reinterpret_cast<const std::uint8_t*>(data), reinterpret_cast<const std::uint8_t*>(data) + size);
        self->taskQueue_->async([self, task, chunk = std::move(chunk)] { self->didReceiveData(task, chunk); });
        return true;
    };
    delegate.onComplete = [weak, task, auth](const TransferResult& result) {
        auto self = weak.lock();
        if (!self) return;
        self->taskQueue_->async([self, task, auth, result] {
            NRVHTTPURLResponseRef response = headToResponse(result.response);
            NRVErrorRef error = NRVURLErrorForTransferResult(result);
            if (self->retryAfterChallenge(task, result, *auth, &response, &error)) {
                self->runStreamTransfer(task, auth);
                return;
            }
            if (response) task->setResponse(response);
            if (task->cancelledByClient()) error = std::make_shared<NRVError>("NSURLErrorDomain", -999, "cancelled");
            task->setState(NRVURLSessionTask::State::kCompleted);
            self->didCompleteWithError(task, error);
        });
    };
    auto transfer = engine_->start(task->session()->transport(), std::move(r), std::move(delegate), trustHookFor(task));
    task->setCanceller([transfer] { transfer->cancel(); });
    if (task->cancelledByClient()) transfer->cancel();
}

void NRVURLSessionHandler::didReceiveResponse(const NRVURLSessionTaskRef& task, const NRVHTTPURLResponseRef& response) {
    auto container = containerForTask(task.get());
    if (!container) {
        NerovaLogger::push().log("didReceiveResponse failed: no container found for task " + taskText(*task));
        task->cancel();
        return;
    }
    task->setResponse(response);
    NRVDictionary details = container->proxyDetailsForSession(task->session());
    auto record = std::make_shared<NRVURLResponse>();
    record->addResultWithProxy(details, response, nullptr, nullptr);
    auto final = record->finalResponse();
    if (final && final->httpStatusSuccess == 1) {
        NerovaLogger::push().log("Communication via session " + task->session()->hashText() + " successful");
        container->reportSuccessForSession(task->session());
        NerovaLogger::push().log("Connection with push server has been established");
        sseState_ = 2;
        if (auto handler = container->connectionHandler()) {
            handler(record, std::nullopt, nullptr);
        } else {
            NerovaLogger::push().error("Push connection established but no connection handler is available for session " +
                                       task->session()->hashText());
        }
    } else {
        NerovaLogger::push().error("Push connection response is not successful. session=" + task->session()->hashText() +
                                   " status=" + std::to_string(response ? response->statusCode() : 0) +
                                   " proxy=" + proxyText(details));
    }
}

void NRVURLSessionHandler::didReceiveData(const NRVURLSessionTaskRef& task, const NRVData& data) {
    if (data.empty()) {
        NerovaLogger::push().log("didReceiveData called with empty payload for task " + taskText(*task));
        return;
    }
    auto container = containerForTask(task.get());
    if (!container) {
        NerovaLogger::push().error("didReceiveData ignored: no container found for task " + taskText(*task));
        return;
    }
    if (sseState_ == 0 || sseState_ == 1) {
        NerovaLogger::push().log("Connection not yet established. Not parsing data");
        return;
    }
    auto record = std::make_shared<NRVURLResponse>();
    record->addResultWithProxy(container->proxyDetailsForSession(task->session()), task->response(), &data, nullptr);
    NerovaLogger::push().debug("Received data via session: " + task->session()->hashText());
    container->reportSuccessForSession(task->session());
    if (auto handler = container->connectionHandler()) {
        handler(record, data, nullptr);
    } else {
        NerovaLogger::push().error("didReceiveData ignored: no connection handler for task " + taskText(*task));
    }
}

void NRVURLSessionHandler::didCompleteWithError(const NRVURLSessionTaskRef& task, NRVErrorRef error) {
    auto container = containerForTask(task.get());
    if (!container) {
        if (error) {
            NerovaLogger::push().error("didCompleteWithError failed: no container found for task " + taskText(*task) +
                                       ", error=" + error->localizedDescription);
        } else {
            NerovaLogger::push().error("didCompleteWithError received for unknown task " + taskText(*task) +
                                       " with no NSError");
        }
        return;
    }
    const NRVURLSessionRef& session = task->session();
    NRVDictionary details = container->proxyDetailsForSession(session);
    auto record = std::make_shared<NRVURLResponse>();
    record->addResultWithProxy(details, task->response(), nullptr, error);
    if (error) {
        logOperationFailure("streamTask", task->originalRequest(), session, error, nullptr, details, task->response());
    } else {
        NerovaLogger::push().log("Task completed without NSError. session=" + session->hashText() + " task=" +
                                 taskText(*task) + " status=" +
                                 std::to_string(task->response() ? task->response()->statusCode() : 0));
    }
    auto handler = container->connectionHandler();
    if (task->cancelledByClient()) {
        // The client ended the stream: no other route is tried.
        if (handler) handler(record, std::nullopt, error);
        sseState_ = 3;
        return;
    }
    reportCustomProxyFailure(details);
    NRVURLSessionRef next = container->nextSession(session);
    if (next) {
        NerovaLogger::push().log("Communication via session " + session->hashText() + " failed, trying next session " +
                                 next->hashText());
        connectToPushServerForContainer(task->originalRequest(), container, next);
    } else {
        NerovaLogger::push().log("Communication via session " + session->hashText() + " failed, failing communication");
        if (handler) handler(record, std::nullopt, error);
        sseState_ = 3;
    }
}

void NRVURLSessionHandler::resetPushForContainer(const NRVURLSessionContainerRef& container) {
    NerovaLogger::push().log("Notify client to re-attempt push connection");
    if (auto handler = container->connectionHandler()) {
        handler(nullptr, std::nullopt,
                streamError(1, "Communication with server closed due to Endpoint configuration change"));
    }
    sseState_ = 3;
}

// --- web sockets ------------------------------------------------------------

void NRVURLSessionHandler::connectToWebSocketServer(const NRVURLRequest& request, const std::string& brokerID,
                                                    NRVWebSocketHandler connectionHandler) {
    auto self = shared_from_this();
    taskQueue_->async([self, request, brokerID, connectionHandler] {
        if (!connectionHandler) {
            NerovaLogger::websocket().error("connectToWebSocketServer failed: websocket handler is nil for broker " +
                                            brokerID);
            return;
        }
        auto container = self->lookUp(brokerID);
        if (!container) {
            NerovaLogger::websocket().log("connectToWebSocketServer failed: no container for broker " + brokerID);
            connectionHandler(4, nullptr, std::nullopt, std::nullopt,
                              streamError(1402, "No URL session container found for websocket broker"));
            return;
        }
        container->setWebSocketHandler(connectionHandler);
        self->webSocketHandlers_.push_back(connectionHandler);
        auto first = container->firstSession();
        if (!first) {
            NerovaLogger::websocket().log("connectToWebSocketServer failed. broker=" + brokerID + " url=" + NRVLogRedaction::redactedURL(request.URL) +
                                          " method=" + request.HTTPMethod + " reason=no available sessions");
            auto error = streamError(1401, "No URL sessions available for websocket connection");
            auto response = std::make_shared<NRVURLResponse>();
            response->addResultWithProxy(unavailableDetails(), nullptr, nullptr, error);
            connectionHandler(4, response, std::nullopt, std::nullopt, error);
            return;
        }
        self->connectToWebSocketServerForContainer(request, container, first);
    });
}

void NRVURLSessionHandler::connectToWebSocketServerForContainer(const NRVURLRequest& request,
                                                                const NRVURLSessionContainerRef& container,
                                                                const NRVURLSessionRef& session) {
    NerovaLogger::websocket().log("Attempting communication with session " + session->hashText());
    auto task = std::make_shared<NRVWebSocketTask>(request, session, engine_);
    if (maxUnsentBytes_ > 0) task->setSendLimits(maxUnsentBytes_, drainLimit_);
    logCookies(session, request, "webSocketServer");
    container->addTaskSynchronously(task);
    std::weak_ptr<NRVURLSessionHandler> weak = shared_from_this();
    std::weak_ptr<NRVWebSocketTask> weakTask = task;
    NRVWebSocketTask::Callbacks callbacks;
    callbacks.onOpenOrFail = [weak, weakTask](const std::optional<TransferResult>& failure) {
        auto self = weak.lock();
        auto task = weakTask.lock();
        if (!self || !task) return;
        self->taskQueue_->async([self, task, failure] {
            if (failure) {
                self->didFailToOpen(task, *failure);
            } else {
                self->didOpen(task);
            }
        });
    };
    callbacks.onMessage = [weak, weakTask](const NRVWebSocketTask::Message& message) {
        auto self = weak.lock();
        auto task = weakTask.lock();
        if (!self || !task) return;
        std::optional<std::string> text;
        std::optional<NRVData> data;
        if (message.isText) {
            text = message.text;
        } else {
            data = message.data;
        }
        self->taskQueue_->async([self, task, text, data] { self->didReceiveMessage(task, text, data); });
    };
    callbacks.onEnd = [weak, weakTask](std::uint16_t code, const std::string& reason, const std::string& error) {
        auto self = weak.lock();
        auto task = weakTask.lock();
        if (!self || !task) return;
        self->taskQueue_->async([self, task, code, reason, error] { self->didEnd(task, code, reason, error); });
    };
    // Proxy challenges of the tunnel, answered on the handler's queue like
    // those of requests.
    auto proxyCredentials = [weak, weakTask](long previousFailures) -> std::optional<platform::http::Credentials> {
        auto self = weak.lock();
        auto task = weakTask.lock();
        if (!self || !task) return std::nullopt;
        NRVURLAuthenticationChallenge challenge;
        challenge.protectionSpace.isProxy = true;
        challenge.protectionSpace.protocol = "HTTP";
        challenge.protectionSpace.authenticationMethod = NRVURLAuthenticationMethod::kHTTPBasic;
        challenge.previousFailureCount = previousFailures;
        NRVURLAuthenticationAnswer answer = NRVURLAuthenticationAnswer::cancel();
        self->taskQueue_->sync([&] { answer = self->handleChallenge(task.get(), challenge); });
        if (answer.kind() != NRVURLAuthenticationAnswer::Kind::kUseCredential || !answer.credential()->user()) {
            return std::nullopt;
        }
        return platform::http::Credentials{*answer.credential()->user(), answer.credential()->password().value_or("")};
    };
    NerovaLogger::websocket().debug("webSocketServer: resuming task " + task->description());
    task->resume(std::move(callbacks), trustHookFor(task), proxyCredentials);
}

void NRVURLSessionHandler::didOpen(const std::shared_ptr<NRVWebSocketTask>& task) {
    auto container = containerForTask(task.get());
    if (!container) {
        NerovaLogger::websocket().error("didOpenWithProtocol failed: no container found for task " + taskText(*task));
        task->cancelWithCloseCode(NRVWebSocketTask::kGoingAway, "");
        return;
    }
    container->setWebSocketTask(task);
    webSocketTasks_.push_back(task);
    auto record = std::make_shared<NRVURLResponse>();
    record->addResultWithProxy(container->proxyDetailsForSession(task->session()), task->response(), nullptr, nullptr);
    NerovaLogger::websocket().log("Websocket connection opened via session: " + task->session()->hashText() +
                                  " for task: " + taskText(*task));
    container->reportSuccessForSession(task->session());
    if (auto handler = container->webSocketHandler()) handler(1, record, std::nullopt, std::nullopt, nullptr);
    if (!pingTimer_) {
        pingTimer_ = platform::dispatch::DispatchSourceTimer::create(taskQueue_);
        const auto interval = static_cast<std::uint64_t>(pingInterval_.load() * platform::dispatch::NSEC_PER_SEC);
        pingTimer_->setTimer(platform::dispatch::dispatchTime(platform::dispatch::DISPATCH_TIME_NOW,
                                                              static_cast<std::int64_t>(interval)),
                             interval, interval / 10);
        std::weak_ptr<NRVURLSessionHandler> weak = shared_from_this();
        pingTimer_->setEventHandler([weak] {
            if (auto self = weak.lock()) self->sendPing();
        });
        pingTimer_->resume();
    }
}

// A web socket that never opened fails over like one that broke, to the
// container's next session, and its failure reaches the web-socket handler.
void NRVURLSessionHandler::didFailToOpen(const std::shared_ptr<NRVWebSocketTask>& task, const TransferResult& result) {
    NRVErrorRef error = NRVURLErrorForTransferResult(result);
    if (!error) error = std::make_shared<NRVError>("NSURLErrorDomain", -1011, "The server returned an invalid response.");
    auto container = containerForTask(task.get());
    if (!container) {
        NerovaLogger::websocket().error("didCompleteWithError failed: no container found for task " + taskText(*task) +
                                        ", error=" + error->localizedDescription);
        return;
    }
    webSocketFailed(task, container, error, task->cancelledByClient() || result.kind == TransferErrorKind::Cancelled,
                    false);
}

void NRVURLSessionHandler::webSocketFailed(const std::shared_ptr<NRVWebSocketTask>& task,
                                           const NRVURLSessionContainerRef& container, const NRVErrorRef& error,
                                           bool cancelled, bool reported) {
    const NRVURLSessionRef& session = task->session();
    NRVDictionary details = container->proxyDetailsForSession(session);
    NRVHTTPURLResponseRef response = task->response();
    auto record = std::make_shared<NRVURLResponse>();
    record->addResultWithProxy(details, response, nullptr, error);
    logOperationFailure("streamTask", task->originalRequest(), session, error, nullptr, details, response);
    auto handler = container->webSocketHandler();
    if (cancelled) {
        if (handler && !reported) handler(4, record, std::nullopt, std::nullopt, error);
        return;
    }
    reportCustomProxyFailure(details);
    NRVURLSessionRef next = container->nextSession(session);
    if (next) {
        NerovaLogger::websocket().log("Communication via session " + session->hashText() + " failed for task: " +
                                      taskText(*task) + ", trying next session " + next->hashText());
        connectToWebSocketServerForContainer(task->originalRequest(), container, next);
    } else {
        NerovaLogger::websocket().log("Communication via all sessions " + session->hashText() + " failed for task: " +
                                      taskText(*task) + ", failing communication");
        if (handler && !reported) handler(4, record, std::nullopt, std::nullopt, error);
    }
}

void NRVURLSessionHandler::didReceiveMessage(const std::shared_ptr<NRVWebSocketTask>& task,
                                             std::optional<std::string> text, std::optional<NRVData> data) {
    auto container = containerForTask(task.get());
    if (!container) {
        NerovaLogger::websocket().error("Failed to map websocket task to container while receiving messages. task=" +
                                        taskText(*task));
        return;
    }
    if (auto handler = container->webSocketHandler()) handler(2, nullptr, std::move(text), std::move(data), nullptr);
}

void NRVURLSessionHandler::didEnd(const std::shared_ptr<NRVWebSocketTask>& task, std::uint16_t code,
                                  const std::string& reason, const std::string& failure) {
    // A dead task leaves the ping list whatever the way it ended. One that
    // already left it had its failure reported by a ping.
    const bool failureReported = std::erase(webSocketTasks_, task) == 0;
    auto container = containerForTask(task.get());
    if (!container) {
        NerovaLogger::websocket().error("didCloseWithCode failed: no container found for task " + taskText(*task));
        invalidateTimer();
        return;
    }
    if (container->webSocketTask() == task) container->setWebSocketTask(nullptr);
    auto handler = container->webSocketHandler();
    if (!failure.empty()) {
        auto error = std::make_shared<NRVError>("NSPOSIXErrorDomain", 57, "Socket is not connected");
        error->underlyingError = std::make_shared<NRVError>("websocket", code, failure);
        NerovaLogger::websocket().error("Failed to receive websocket message for task " + taskText(*task) +
                                        ". error=" + error->localizedDescription +
                                        " underlying=" + NSErrorExtensions::getNSUnderlyingErrorKeys(*error));
        if (handler && !failureReported) handler(4, nullptr, std::nullopt, std::nullopt, error);
        invalidateTimer();
        // The client has heard of this failure already: the next session
        // opens the socket again (event 1) or, after the last, nothing more.
        webSocketFailed(task, container, error, task->cancelledByClient(), true);
        return;
    }
    std::string reasonText = reason.empty() ? "<none>" : reason;
    NerovaLogger::websocket().log("Websocket connection closed via session: " + task->session()->hashText() +
                                  " for task: " + taskText(*task) + " closeCode=" + std::to_string(code) +
                                  " reason=" + reasonText);
    if (handler) handler(3, nullptr, std::nullopt, std::nullopt, nullptr);
}

void NRVURLSessionHandler::sendPing() {
    bool anyMapped = false;
    auto tasks = webSocketTasks_;
    for (const auto& task : tasks) {
        auto container = containerForTask(task.get());
        if (!container) continue;
        auto socket = container->webSocketTask();
        if (!socket) continue;
        anyMapped = true;
        std::weak_ptr<NRVURLSessionHandler> weak = shared_from_this();
        const auto pongLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(pingInterval_.load()));
        socket->sendPing(
            [weak, socket, container](const std::string& error) {
                if (error.empty()) return;
                auto self = weak.lock();
                if (!self) return;
                self->taskQueue_->async([self, socket, container, error] {
                    // A socket fails once: a later ping's error, or the end
                    // of its connection, is not reported again.
                    if (std::erase(self->webSocketTasks_, socket) == 0) return;
                    NerovaLogger::websocket().error("Communication error with websocket server (task: " +
                                                    taskText(*socket) + "): " + error);
                    if (auto handler = container->webSocketHandler()) {
                        handler(4, nullptr, std::nullopt, std::nullopt, std::make_shared<NRVError>("websocket", 0, error));
                    }
                    self->invalidateTimer();
                });
            },
            pongLimit);
    }
    if (!anyMapped) {
        NerovaLogger::websocket().log("No containers found. Close all terminal sessions and invalidate ping timer");
        for (const auto& handler : webSocketHandlers_) {
            if (handler) handler(3, nullptr, std::nullopt, std::nullopt, nullptr);
        }
        webSocketTasks_.clear();
        webSocketHandlers_.clear();
        invalidateTimer();
    }
}

void NRVURLSessionHandler::invalidateTimer() {
    if (webSocketTasks_.empty() && pingTimer_) {
        pingTimer_->cancel();
        pingTimer_.reset();
    }
}

void NRVURLSessionHandler::send(const std::string& text, const std::string& brokerID, SendCompletion completion) {
    auto self = shared_from_this();
    taskQueue_->async([self, text, brokerID, completion] {
        auto container = self->lookUp(brokerID);
        auto socket = container ? container->webSocketTask() : nullptr;
        if (socket) {
            // The frame is queued at once; its completion may come from the
            // socket's own thread once the peer took it, and goes to the queue.
            std::weak_ptr<NRVURLSessionHandler> weak = self;
            socket->sendText(text, [weak, completion](const std::string& error) {
                if (!completion) return;
                NRVErrorRef result = error.empty() ? nullptr : std::make_shared<NRVError>("websocket", 0, error);
                if (auto handler = weak.lock()) {
                    handler->taskQueue_->async([completion, result] { completion(result); });
                } else {
                    completion(result);
                }
            });
            return;
        }
        auto error = streamError(1501, "WebSocket send failed because no active websocket task was found");
        NerovaLogger::websocket().error("send failed. broker=" + brokerID + " payloadLength=" +
                                        std::to_string(characterCount(text)) + " error=" + error->localizedDescription);
        if (completion) completion(error);
    });
}

bool NRVURLSessionHandler::hasPingTimer() {
    bool has = false;
    taskQueue_->sync([&] { has = pingTimer_ != nullptr; });
    return has;
}

std::size_t NRVURLSessionHandler::webSocketTaskCount() {
    std::size_t count = 0;
    taskQueue_->sync([&] { count = webSocketTasks_.size(); });
    return count;
}
