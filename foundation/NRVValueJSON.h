// JSON text to and from the library's value type, in the forms the platform's
// JSON reader and writer give: objects keep their key order, pretty output
// indents by two blanks and writes " : " between key and value.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/NRVError.h"
#include "platform/value/NRVValue.h"

namespace NRVValueJSON {

// Containers nested deeper than this are refused (the same limit as for
// property lists): the texts come from files users can write.
constexpr int kMaxDepth = 64;

// The top-level array or object; nullopt with an error (code 3840) for
// malformed text, for a bare scalar, as the platform's reader without
// options answers, and for nesting deeper than kMaxDepth.
std::optional<NRVValue> parse(std::string_view text, NRVError* error = nullptr);
// nullopt with an error for values JSON cannot hold (data, dates, non-finite
// numbers).
std::optional<std::string> prettyPrinted(const NRVValue& value, NRVError* error = nullptr);

}  // namespace NRVValueJSON
