#include "foundation/NSErrorExtensions.h"

namespace NSErrorExtensions {

namespace {

constexpr long kDefaultLevels = 10;

// An error without a description of its own reads as the platform's generic
// sentence.
std::string descriptionOf(const NRVError& error) {
    if (!error.localizedDescription.empty()) return error.localizedDescription;
    return "The operation couldn\u2019t be completed. (" + error.domain + " error " + std::to_string(error.code) + ".)";
}

}  // namespace

std::string getNSUnderlyingErrorKeys(const NRVError& error, long levels) {
    std::string text;
    long level = 0;
    for (const NRVError* underlying = error.underlyingError.get(); underlying && level < levels;
         underlying = underlying->underlyingError.get()) {
        ++level;
        text += "[NSUnderlyingErrorKey " + std::to_string(level) + ": domain: " + underlying->domain +
                ", code: " + std::to_string(underlying->code) + ", description: " + descriptionOf(*underlying) +
                ", reason: " + underlying->localizedFailureReason.value_or("n/a") +
                ", options: " + underlying->localizedRecoverySuggestion.value_or("n/a") + "] ";
    }
    return text.empty() ? "[No NSUnderlyingErrorKeys available]" : text;
}

std::string getNSUnderlyingErrorKeys(const NRVError& error) { return getNSUnderlyingErrorKeys(error, kDefaultLevels); }

}  // namespace NSErrorExtensions
