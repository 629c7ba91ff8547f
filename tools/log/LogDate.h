// The date arguments of `log show`: "yyyy-MM-dd" or "yyyy-MM-dd HH:mm:ss" in
// local time, or "yyyy-MM-dd HH:mm:ss±zzzz" (also "±HH:MM", a blank before
// the offset allowed), the form the collection log prints.
#pragma once

#include <optional>
#include <string>

namespace logtool {

// Seconds since 1970; nullopt for any other text or an impossible field.
std::optional<double> parseDate(const std::string& text);

}  // namespace logtool
