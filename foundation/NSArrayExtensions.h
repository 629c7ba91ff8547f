// Array helpers of the base library: nil-safe tests, key paths, the median,
// JSON text, and the three log renderings shared with dictionaries
// (one line, one element per line, an indented tree). "nil" is nullptr.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/NRVError.h"
#include "platform/value/NRVValue.h"

namespace NSArrayExtensions {

bool isNilOrEmpty(const NRVArray* array);
bool hasContent(const NRVArray* array);
NRVArray valueOrEmptyArray(const NRVArray* array);

// Each element's value for a dotted key path, in order; an element without
// one gives a null value, so positions keep matching. Empty for a blank path.
NRVArray objectsForKeyPath(const NRVArray& array, std::optional<std::string_view> keyPath);

// "[" + elements joined by ", " + "]"; nested collections on the same line.
std::string singleLineDescription(const NRVArray& array);
// As singleLineDescription, but the top level breaks after each ",".
std::string compactDescription(const NRVArray& array);
// "[]" when empty, else niceDescriptionWithIndent(array, 0).
std::string niceDescription(const NRVArray& array);
// One element per line, indented by 4 blanks a level; nested collections as
// trees one level deeper.
std::string niceDescriptionWithIndent(const NRVArray& array, std::size_t indent);

// 0 for nil or empty; the middle value, or the mean of the two middle values.
float medianFromArray(const NRVArray* array);
// Pretty-printed JSON; nullopt with an error when a value has no JSON form.
std::optional<std::string> jsonString(const NRVArray& array, NRVError* error = nullptr);
// true as soon as one element of `objects` is in the array (numbers compare
// by value, whatever their kind).
bool containsObjectFrom(const NRVArray& array, const NRVArray& objects);

// How a value shows inside the log renderings: arrays and dictionaries by
// their single-line form, anything else by its own description ("<null>",
// numbers, the text itself, "<0102...>" for data, "yyyy-MM-dd HH:mm:ss +0000"
// for dates).
std::string description(const NRVValue& value);
// A value inside a tree at the given level: collections as nested trees,
// anything else by its description.
std::string niceDescriptionWithIndent(const NRVValue& value, std::size_t indent);
// Loose equality of two values: numbers (and booleans) by numeric value.
bool isEqual(const NRVValue& a, const NRVValue& b);

// The bracket-and-separator frames shared by the array and dictionary forms;
// `item(i)` renders the i-th element or entry.
namespace detail {
std::string joined(char open, char close, std::size_t count, std::string_view separator,
                   const std::function<std::string(std::size_t)>& item);
std::string tree(char open, char close, std::size_t count, std::size_t indent,
                 const std::function<std::string(std::size_t)>& item);
}  // namespace detail

}  // namespace NSArrayExtensions
