// Styled text helpers for the window: text with embedded HTML links, and the
// two fixed text styles. Ranges count UTF-16 units; "nil" is std::nullopt.
#pragma once

#include <optional>
#include <string_view>

#include "foundation/NRVAttributedString.h"
#include "foundation/NSStringExtensions.h"

namespace NSAttributedStringExtensions {

// From the first "<a href" in the range to the end of the next "</a>", both
// found ignoring case; {NRVNotFound, 0} when either is missing, for nil text
// and for a range outside the text.
NRVRange rangeOfLink(std::optional<std::string_view> text, NRVRange range);
// Plain text with every HTML anchor turned into a link run that takes the
// surrounding style.
NRVAttributedString attributedStringWithHyperLink(std::optional<std::string_view> text);
// White, centred; "" for nil or blank text.
NRVAttributedString whiteCenterAlignedAttributedStringWithString(std::optional<std::string_view> text);
// Left-aligned in the product's blue; "" for nil or blank text.
NRVAttributedString blueLeftAlignedAttributedStringWithString(std::optional<std::string_view> text);

}  // namespace NSAttributedStringExtensions
