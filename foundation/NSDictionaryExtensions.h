// Dictionary helpers of the base library: nil-safe tests, typed lookups, JSON
// text and the log renderings. Entries keep the dictionary's own order.
// "nil" is nullptr.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/NRVError.h"
#include "platform/value/NRVValue.h"

namespace NSDictionaryExtensions {

bool isNilOrEmpty(const NRVDictionary* dictionary);
bool hasContent(const NRVDictionary* dictionary);

// Strings, arrays and dictionaries count when they have content; a missing
// key or null does not; any other value does.
bool hasValueForKey(const NRVDictionary& dictionary, std::string_view key);
// Numbers by non-zero, texts as the platform reads a boolean from text
// ("YES", "true", "1" ...); anything else false.
bool boolValueForKey(const NRVDictionary& dictionary, std::string_view key);
std::string stringValueForKey(const NRVDictionary& dictionary, std::string_view key);  // "" unless a string
std::optional<NRVDate> dateValueForKey(const NRVDictionary& dictionary, std::string_view key);

// "{" + "key : value" entries joined by ", " + "}".
std::string singleLineDescription(const NRVDictionary& dictionary);
// As singleLineDescription, but the top level breaks after each ",".
std::string compactDescription(const NRVDictionary& dictionary);
// "{}" when empty, else niceDescriptionWithIndent(dictionary, 0).
std::string niceDescription(const NRVDictionary& dictionary);
// One entry per line, the colons lined up one blank after the longest key.
std::string niceDescriptionWithIndent(const NRVDictionary& dictionary, std::size_t indent);

std::optional<std::string> jsonString(const NRVDictionary& dictionary, NRVError* error = nullptr);

}  // namespace NSDictionaryExtensions
