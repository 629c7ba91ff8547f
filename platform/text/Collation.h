// Ordering of texts as people expect it in lists: case-insensitive, digits
// by their numeric value, in the user's locale.
#pragma once

#include <string>

namespace platform::text {

// < 0, 0 or > 0. Texts that differ only in case are still ordered, so that a
// sort is deterministic.
int localizedStandardCompare(const std::string& a, const std::string& b);

}  // namespace platform::text
