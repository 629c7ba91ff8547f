// What the files of NRVURLSessionHandler share: the state of one request
// across its attempts, the answers given to one attempt's challenges, the
// URL errors of failed transfers and the proxy an attempt goes through. Not
// for other callers.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "net/session/NRVURLSessionHandler.h"

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

// A URL error (domain "NSURLErrorDomain"), with `detail` as the underlying
// libcurl error when there is one.
NRVErrorRef NRVURLError(std::int64_t code, const std::string& description, const std::string& detail = {});

// The machine's proxy for a URL, as the system-settings route takes it:
// the HTTPS or HTTP entry by the URL's scheme, none for the hosts and domains
// of the exceptions list.
std::optional<platform::http::ProxyRoute> NRVSystemProxyForURL(const std::string& url);

// The proxy an attempt on `session` for `url` goes through: the route's own
// for custom proxies and relays, the machine's for the system route (as the
// engine takes it), none for the direct route.
std::optional<platform::http::ProxyRoute> NRVProxyInUseForSession(const NRVURLSessionRef& session,
                                                                  const std::string& url);
