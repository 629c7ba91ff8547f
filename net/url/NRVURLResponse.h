// The outcome of one request through a broker's routes: one entry per
// attempt, in order, so that a client sees which routes were tried and why
// they failed, not only the final status. The body of an attempt is not
// kept; it reaches the client through the request's resolution block.
//
// Threading: no locking. One request's attempts are appended one after
// another by the session handler; hand the record on only when it is done.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/NRVError.h"
#include "net/url/NRVHTTPURLResponse.h"
#include "platform/value/NRVValue.h"

using NRVErrorRef = std::shared_ptr<const NRVError>;

// One attempt as resultOfSessions() shows it. A null value stands for the
// platform's null marker.
struct NRVURLSessionResult {
    std::string proxyUsageDescription;
    NRVValue brokerConfigType;
    NRVValue customProxyDetails;  // a dictionary, or null
    std::string statusDescription;
    std::int64_t statusCode = 0;
    NRVErrorRef error;  // nullptr: the null marker
    std::int64_t httpStatusSuccess = 0;
    NRVHTTPURLResponseRef responses;  // nullptr: the null marker
    std::optional<std::string> downloadedFileLocation;
    // Only in the home edition: the header fields, or null without a response.
    std::optional<NRVValue> httpHeaders;

    // The keys "proxyUsageDescription", "brokerConfigType",
    // "customProxyDetails", "statusDescription", "statusCode", "error",
    // "httpStatusSuccess", "responses", "downloadedFileLocation" and, when
    // present, "httpHeaders"; the error and the URL response by their
    // descriptions, null markers as null values.
    NRVDictionary dictionary() const;
};

class NRVURLResponse {
public:
    // Appends one entry to every list. `proxyDetails` is the container's
    // proxy details dictionary of the route the attempt took.
    void addResultWithProxy(const NRVDictionary& proxyDetails, NRVHTTPURLResponseRef response, const NRVData* data,
                            std::optional<std::string> downloadedFileLocation, NRVErrorRef error);
    void addResultWithProxy(const NRVDictionary& proxyDetails, NRVHTTPURLResponseRef response, const NRVData* data,
                            NRVErrorRef error);

    std::vector<NRVURLSessionResult> resultOfSessions() const;
    // The last attempt; nullopt without attempts.
    std::optional<NRVURLSessionResult> finalResponse() const;
    std::size_t count() const { return statusCode_.size(); }

    // singleLineDescription of the attempts' dictionaries.
    std::string description() const;
    // The same of only "brokerConfigType", "proxyUsageDescription",
    // "statusDescription", "statusCode" and "error" per attempt.
    std::string compactDescription() const;

    // The parallel lists, entry i of each belonging to attempt i.
    const std::vector<std::string>& proxyUsageDescription() const { return proxyUsageDescription_; }
    const std::vector<NRVValue>& proxyConfigType() const { return proxyConfigType_; }
    const std::vector<NRVValue>& customProxyDetails() const { return customProxyDetails_; }
    const std::vector<std::string>& statusDescription() const { return statusDescription_; }
    const std::vector<std::int64_t>& statusCode() const { return statusCode_; }
    const std::vector<NRVErrorRef>& error() const { return error_; }
    // The header fields of each attempt's response, null without one.
    std::vector<NRVValue> headers() const;
    const std::vector<std::int64_t>& httpStatusSuccess() const { return httpStatusSuccess_; }
    const std::vector<NRVHTTPURLResponseRef>& responses() const { return responses_; }
    const std::vector<std::optional<std::string>>& downloadedFileLocation() const { return downloadedFileLocation_; }

    // "Error Domain=<domain> Code=<code> \"<description>\"", the form errors
    // take in the descriptions.
    static std::string errorDescription(const NRVError& error);

private:
    NRVURLSessionResult resultAt(std::size_t i, bool withHeaders) const;

    std::vector<std::string> proxyUsageDescription_;
    std::vector<NRVValue> proxyConfigType_;
    std::vector<NRVValue> customProxyDetails_;
    std::vector<std::string> statusDescription_;
    std::vector<std::int64_t> statusCode_;
    std::vector<NRVErrorRef> error_;
    std::vector<std::int64_t> httpStatusSuccess_;
    std::vector<NRVHTTPURLResponseRef> responses_;
    std::vector<std::optional<std::string>> downloadedFileLocation_;
};
