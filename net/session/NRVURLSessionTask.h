// One task of a URL session: a data, upload or download request, a push
// stream, or a web socket. The session handler drives its transfer; the
// task keeps what callbacks need to find it again (its request, its
// session, its latest response) and whether its client cancelled it.
//
// Threading: every call is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/url/NRVHTTPURLResponse.h"
#include "net/url/NRVURLRequest.h"
#include "net/session/NRVURLSession.h"

class NRVURLSessionTask;
using NRVURLSessionTaskRef = std::shared_ptr<NRVURLSessionTask>;

class NRVURLSessionTask {
public:
    enum class Kind { kData, kUpload, kDownload, kStream, kWebSocket };
    // The platform's task states.
    enum class State { kRunning = 0, kSuspended = 1, kCanceling = 2, kCompleted = 3 };

    NRVURLSessionTask(Kind kind, NRVURLRequest request, NRVURLSessionRef session);
    virtual ~NRVURLSessionTask() = default;

    Kind kind() const { return kind_; }
    std::uint64_t taskIdentifier() const { return identifier_; }
    const NRVURLRequest& originalRequest() const { return request_; }
    const NRVURLSessionRef& session() const { return session_; }
    State state() const { return state_; }
    void setState(State state) { state_ = state; }

    NRVHTTPURLResponseRef response() const;
    void setResponse(NRVHTTPURLResponseRef response);

    // Cancels on behalf of the client: the request ends, it is not retried
    // on another route.
    void cancel();
    bool cancelledByClient() const { return cancelledByClient_; }
    // What cancel() calls to stop the running transfer (set by the handler).
    void setCanceller(std::function<void()> canceller);

    // "<Kind>Task <identifier>", the form tasks take in log lines.
    std::string description() const;

private:
    Kind kind_;
    std::uint64_t identifier_;
    NRVURLRequest request_;
    NRVURLSessionRef session_;
    std::atomic<State> state_{State::kRunning};
    std::atomic<bool> cancelledByClient_{false};
    mutable std::mutex mutex_;
    NRVHTTPURLResponseRef response_;
    std::function<void()> canceller_;
};
