// A URL request as the URL brokers take it: where, how, what to send and
// how long to wait. A value type; copies are independent.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/value/NRVValue.h"

struct NRVURLRequest {
    // The platform's cache policies; the URL stack never caches, so they
    // only travel with the request.
    enum CachePolicy : unsigned {
        kUseProtocolCachePolicy = 0,
        kReloadIgnoringLocalCacheData = 1,
    };

    NRVURLRequest() = default;
    explicit NRVURLRequest(std::string url) : URL(std::move(url)) {}

    std::string URL;  // absolute
    std::string HTTPMethod = "GET";
    // Header fields in the order they are sent; names keep their case.
    std::vector<std::pair<std::string, std::string>> allHTTPHeaderFields;
    NRVData HTTPBody;
    double timeoutInterval = 60;  // seconds
    unsigned cachePolicy = kUseProtocolCachePolicy;

    // Replaces a field of the same name (compared without case), else appends.
    void setValueForHTTPHeaderField(const std::string& value, const std::string& field);
    // nullptr when the field is absent (compared without case).
    const std::string* valueForHTTPHeaderField(const std::string& field) const;
};
