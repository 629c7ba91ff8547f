// What the two halves of NRVURLSessionHandler share: the state of one
// request across its attempts, the answers given to one attempt's
// challenges, and the URL error of a failed transfer. Not for other callers.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "net/NRVURLSessionHandler.h"

// One request across its attempts.
struct NRVHandlerRequest {
    NRVURLSessionTask::Kind kind = NRVURLSessionTask::Kind::kData;
    NRVURLRequest request;
    std::shared_ptr<const std::string> body;
    std::shared_ptr<NRVURLResponse> response = std::make_shared<NRVURLResponse>();
    NRVURLSessionHandler::DataResolution dataReply;
    NRVURLSessionHandler::DownloadResolution downloadReply;
    NRVURLSessionContainerRef container;
};

// The answers given to one attempt's challenges so far.
struct NRVHandlerAuthState {
    long proxyFailures = 0;
    long serverFailures = 0;
    std::optional<platform::http::Credentials> proxy;
    std::optional<platform::http::Credentials> server;
};

// The platform's URL error (domain "NSURLErrorDomain") for a failed
// transfer, with libcurl's text as the underlying error; nullptr on success.
NRVErrorRef NRVURLErrorForTransferResult(const platform::http::TransferResult& result);
