// Where the platform moved an application from when it ran it from a
// randomised read-only location (translocation).
//
// Linux runs programs where they lie: nothing is ever translocated, so the
// answer is always "not translocated" (nil, and no error).
#pragma once

#include <optional>
#include <string>

#include "foundation/NRVError.h"

namespace NRVUserPrivilegeServices {

// The original location of a translocated application; nullopt when it is
// not translocated (error untouched) or on failure (with the error).
std::optional<std::string> originalURLForTranslocatedURL(const std::string& url, NRVError* error = nullptr);

}  // namespace NRVUserPrivilegeServices
