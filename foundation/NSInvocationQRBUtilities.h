// Calling a method named at run time.
#pragma once

#include <string_view>

#include "foundation/NRVInvocationTarget.h"

namespace QRBUtilities {

// Calls the target's method of that name with the pointed-to argument; false,
// and nothing called, when the target is null or its class has no such method.
bool invokeSelector(std::string_view selector, NRVInvocationTarget* target, const void* argument);

}  // namespace QRBUtilities
