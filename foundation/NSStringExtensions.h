// String helpers of the base library. "nil" is std::nullopt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace NSStringExtensions {

// true for nil, "" and text made only of white space and line ends.
bool isNilOrWhiteSpace(std::optional<std::string_view> string);

}  // namespace NSStringExtensions
