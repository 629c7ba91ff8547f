// What a server answered to one HTTP request: the URL, the status and the
// header fields. The body travels separately. Immutable once made and
// shared between threads by pointer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/value/NRVValue.h"

class NRVHTTPURLResponse;
using NRVHTTPURLResponseRef = std::shared_ptr<const NRVHTTPURLResponse>;

class NRVHTTPURLResponse {
public:
    // Header fields as received, names as the server wrote them, each a string.
    NRVHTTPURLResponse(std::string url, std::int64_t statusCode, NRVDictionary headerFields)
        : url_(std::move(url)), statusCode_(statusCode), allHeaderFields_(std::move(headerFields)) {}

    const std::string& URL() const { return url_; }
    std::int64_t statusCode() const { return statusCode_; }
    const NRVDictionary& allHeaderFields() const { return allHeaderFields_; }
    // The field's value compared without case; nullptr when absent.
    const std::string* valueForHTTPHeaderField(const std::string& field) const;

    // The short lower-case reason text of a status ("no error" for 200, "not
    // found" for 404); a code outside the table gets the text of its class.
    static std::string localizedStringForStatusCode(std::int64_t statusCode);

    // "<NRVHTTPURLResponse> { URL: ... } { Status Code: N, Headers {...} }",
    // for log lines: the URL and the secret fields masked (NRVLogRedaction).
    std::string description() const;

private:
    std::string url_;
    std::int64_t statusCode_;
    NRVDictionary allHeaderFields_;
};
