// The library's error object: what the toolkit classes hand back through
// their optional error out-parameter beside a nil or false result.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct NRVError {
    std::string domain;
    std::int64_t code = 0;
    std::string localizedDescription;
    std::optional<std::string> localizedFailureReason;
    std::optional<std::string> localizedRecoverySuggestion;
    // The error that caused this one, if any (the chain callers walk to
    // explain a failure).
    std::shared_ptr<const NRVError> underlyingError;

    NRVError() = default;
    NRVError(std::string domain, std::int64_t code, std::string description = {})
        : domain(std::move(domain)), code(code), localizedDescription(std::move(description)) {}
};

// Fills an optional out-parameter; callers pass nullptr when they do not care.
inline void NRVSetError(NRVError* out, NRVError error) {
    if (out) *out = std::move(error);
}
