#include "foundation-module/StringExtension.h"

namespace StringExtension {

std::optional<std::string> content(std::string_view string) {
    if (string.empty()) return std::nullopt;
    return std::string(string);
}

}  // namespace StringExtension
