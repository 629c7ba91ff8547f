// The content of a string, or nothing for the empty one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace StringExtension {
// nullopt for "", else the string.
std::optional<std::string> content(std::string_view string);
}  // namespace StringExtension
