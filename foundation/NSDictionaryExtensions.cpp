#include "foundation/NSDictionaryExtensions.h"

#include <algorithm>

#include "foundation/NRVValueJSON.h"
#include "foundation/NSArrayExtensions.h"
#include "foundation/NSStringExtensions.h"

namespace NSDictionaryExtensions {

namespace {

// The platform's boolean reading of text: blanks, then an optional sign and
// zeros, then "Y", "y", "T", "t" or a digit 1-9 mean true.
bool textBoolValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    if (i == text.size()) return false;
    const char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::string entry(const NRVDictionary& dictionary, std::size_t i) {
    return dictionary.keyAt(i) + " : " + NSArrayExtensions::description(dictionary.valueAt(i));
}

}  // namespace

bool isNilOrEmpty(const NRVDictionary* dictionary) { return dictionary == nullptr || dictionary->empty(); }

bool hasContent(const NRVDictionary* dictionary) { return !isNilOrEmpty(dictionary); }

bool hasValueForKey(const NRVDictionary& dictionary, std::string_view key) {
    const NRVValue* value = dictionary.find(key);
    if (!value || value->isNull()) return false;
    if (const auto* s = value->asString()) return NSStringExtensions::hasContent(*s);
    if (const auto* a = value->asArray()) return NSArrayExtensions::hasContent(a);
    if (const auto* d = value->asDictionary()) return hasContent(d);
    return true;
}

bool boolValueForKey(const NRVDictionary& dictionary, std::string_view key) {
    const NRVValue* value = dictionary.find(key);
    if (!value) return false;
    if (const auto* s = value->asString()) return textBoolValue(*s);
    if (value->isNumber() || value->isBool()) return !NSArrayExtensions::isEqual(*value, NRVValue(0));
    return false;
}

std::string stringValueForKey(const NRVDictionary& dictionary, std::string_view key) {
    const NRVValue* value = dictionary.find(key);
    const std::string* text = value ? value->asString() : nullptr;
    return text ? *text : std::string();
}

std::optional<NRVDate> dateValueForKey(const NRVDictionary& dictionary, std::string_view key) {
    const NRVValue* value = dictionary.find(key);
    const NRVDate* date = value ? value->asDate() : nullptr;
    return date ? std::optional<NRVDate>(*date) : std::nullopt;
}

std::string singleLineDescription(const NRVDictionary& dictionary) {
    return NSArrayExtensions::detail::joined('{', '}', dictionary.size(), ", ",
                                             [&](std::size_t i) { return entry(dictionary, i); });
}

std::string compactDescription(const NRVDictionary& dictionary) {
    return NSArrayExtensions::detail::joined('{', '}', dictionary.size(), ",\n ",
                                             [&](std::size_t i) { return entry(dictionary, i); });
}

std::string niceDescription(const NRVDictionary& dictionary) {
    return dictionary.empty() ? "{}" : niceDescriptionWithIndent(dictionary, 0);
}

std::string niceDescriptionWithIndent(const NRVDictionary& dictionary, std::size_t indent) {
    std::size_t longestKey = 0;
    for (const auto& key : dictionary.keys()) longestKey = std::max(longestKey, NSStringExtensions::utf16Length(key));
    return NSArrayExtensions::detail::tree('{', '}', dictionary.size(), indent, [&](std::size_t i) {
        const std::string& key = dictionary.keyAt(i);
        return key + std::string(longestKey - NSStringExtensions::utf16Length(key) + 1, ' ') + ": " +
               NSArrayExtensions::niceDescriptionWithIndent(dictionary.valueAt(i), indent + 1);
    });
}

std::optional<std::string> jsonString(const NRVDictionary& dictionary, NRVError* error) {
    return NRVValueJSON::prettyPrinted(NRVValue(dictionary), error);
}

}  // namespace NSDictionaryExtensions
