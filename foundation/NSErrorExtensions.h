// One-string accounts of an error's chain of underlying errors, for logs.
#pragma once

#include <string>

#include "foundation/NRVError.h"

namespace NSErrorExtensions {

// Describes up to `levels` underlying errors below the receiver (not the
// receiver itself), or "[No NSUnderlyingErrorKeys available]".
std::string getNSUnderlyingErrorKeys(const NRVError& error, long levels);
std::string getNSUnderlyingErrorKeys(const NRVError& error);  // 10 levels

}  // namespace NSErrorExtensions
