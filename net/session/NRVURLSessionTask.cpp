#include "net/session/NRVURLSessionTask.h"

namespace {
std::atomic<std::uint64_t> gNextIdentifier{1};
}

NRVURLSessionTask::NRVURLSessionTask(Kind kind, NRVURLRequest request, NRVURLSessionRef session)
    : kind_(kind), identifier_(gNextIdentifier++), request_(std::move(request)), session_(std::move(session)) {}

NRVHTTPURLResponseRef NRVURLSessionTask::response() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return response_;
}

void NRVURLSessionTask::setResponse(NRVHTTPURLResponseRef response) {
    std::lock_guard<std::mutex> lock(mutex_);
    response_ = std::move(response);
}

void NRVURLSessionTask::setCanceller(std::function<void()> canceller) {
    std::lock_guard<std::mutex> lock(mutex_);
    canceller_ = std::move(canceller);
}

void NRVURLSessionTask::cancel() {
    std::function<void()> canceller;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == State::kCompleted) return;
        cancelledByClient_ = true;
        state_ = State::kCanceling;
        canceller = canceller_;
    }
    if (canceller) canceller();
}

std::string NRVURLSessionTask::description() const {
    const char* name = "LocalDataTask";
    switch (kind_) {
    case Kind::kUpload: name = "LocalUploadTask"; break;
    case Kind::kDownload: name = "LocalDownloadTask"; break;
    case Kind::kWebSocket: name = "LocalWebSocketTask"; break;
    default: break;
    }
    return std::string(name) + " <" + std::to_string(identifier_) + ">";
}
