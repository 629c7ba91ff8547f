#include "foundation/NSArrayExtensions.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "foundation/NRVValueJSON.h"
#include "foundation/NSDataExtensions.h"
#include "foundation/NSDateExtensions.h"
#include "foundation/NSDictionaryExtensions.h"
#include "foundation/NSStringExtensions.h"

namespace NSArrayExtensions {

namespace {

constexpr std::size_t kIndentWidth = 4;

std::string realDescription(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buffer[32];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, d).ptr);
}

// The value as the platform's number reading of an element gives it.
double doubleValue(const NRVValue& value) {
    if (const auto* b = value.asBool()) return *b ? 1 : 0;
    if (const auto* i = value.asInteger()) return static_cast<double>(*i);
    if (const auto* r = value.asReal()) return *r;
    if (const auto* s = value.asString()) {
        std::string_view text = *s;
        while (!text.empty() && (text.front() == ' ' || (text.front() >= '\t' && text.front() <= '\r'))) text.remove_prefix(1);
        if (!text.empty() && text.front() == '+') text.remove_prefix(1);
        double d = 0;
        const auto result = std::from_chars(text.data(), text.data() + text.size(), d, std::chars_format::general);
        return result.ec == std::errc() ? d : 0;
    }
    return 0;
}

// NaN sorts last, so that the order stays strict and sorting safe.
bool numericLess(double a, double b) { return std::isnan(b) ? !std::isnan(a) : a < b; }

NRVValue valueForKeyPath(const NRVValue& value, std::string_view path) {
    const std::size_t dot = path.find('.');
    const std::string_view key = path.substr(0, dot);
    NRVValue next;
    if (const auto* dictionary = value.asDictionary()) {
        if (const NRVValue* found = dictionary->find(key)) next = *found;
    } else if (const auto* array = value.asArray()) {
        // An array answers with the values of its elements, as key-value
        // coding does.
        NRVArray values;
        for (const auto& element : *array) values.push_back(valueForKeyPath(element, key));
        next = NRVValue(std::move(values));
    }
    if (dot == std::string_view::npos || next.isNull()) return next;
    return valueForKeyPath(next, path.substr(dot + 1));
}

}  // namespace

bool isNilOrEmpty(const NRVArray* array) { return array == nullptr || array->empty(); }

bool hasContent(const NRVArray* array) { return !isNilOrEmpty(array); }

NRVArray valueOrEmptyArray(const NRVArray* array) { return array ? *array : NRVArray(); }

NRVArray objectsForKeyPath(const NRVArray& array, std::optional<std::string_view> keyPath) {
    NRVArray values;
    if (NSStringExtensions::isNilOrWhiteSpace(keyPath)) return values;
    values.reserve(array.size());
    for (const auto& element : array) values.push_back(valueForKeyPath(element, *keyPath));
    return values;
}

std::string singleLineDescription(const NRVArray& array) {
    return detail::joined('[', ']', array.size(), ", ", [&](std::size_t i) { return description(array[i]); });
}

std::string compactDescription(const NRVArray& array) {
    return detail::joined('[', ']', array.size(), ",\n ", [&](std::size_t i) { return description(array[i]); });
}

std::string niceDescription(const NRVArray& array) { return array.empty() ? "[]" : niceDescriptionWithIndent(array, 0); }

std::string niceDescriptionWithIndent(const NRVArray& array, std::size_t indent) {
    return detail::tree('[', ']', array.size(), indent,
                        [&](std::size_t i) { return niceDescriptionWithIndent(array[i], indent + 1); });
}

float medianFromArray(const NRVArray* array) {
    if (isNilOrEmpty(array)) return 0;
    if (array->size() == 1) return static_cast<float>(doubleValue(array->front()));
    NRVArray sorted = *array;
    const bool allText = std::all_of(sorted.begin(), sorted.end(), [](const NRVValue& v) { return v.isString(); });
    if (allText) {
        std::sort(sorted.begin(), sorted.end(), [](const NRVValue& a, const NRVValue& b) { return *a.asString() < *b.asString(); });
    } else {
        std::sort(sorted.begin(), sorted.end(),
                  [](const NRVValue& a, const NRVValue& b) { return numericLess(doubleValue(a), doubleValue(b)); });
    }
    const std::size_t middle = sorted.size() / 2;
    if (sorted.size() % 2 == 1) return static_cast<float>(doubleValue(sorted[middle]));
    return static_cast<float>((doubleValue(sorted[middle - 1]) + doubleValue(sorted[middle])) / 2);
}

std::optional<std::string> jsonString(const NRVArray& array, NRVError* error) {
    return NRVValueJSON::prettyPrinted(NRVValue(array), error);
}

bool containsObjectFrom(const NRVArray& array, const NRVArray& objects) {
    for (const auto& object : objects)
        if (std::any_of(array.begin(), array.end(), [&](const NRVValue& element) { return isEqual(element, object); }))
            return true;
    return false;
}

std::string description(const NRVValue& value) {
    switch (value.type()) {
    case NRVValue::Type::Null: return "<null>";
    case NRVValue::Type::Bool: return *value.asBool() ? "1" : "0";
    case NRVValue::Type::Integer: return std::to_string(*value.asInteger());
    case NRVValue::Type::Real: return realDescription(*value.asReal());
    case NRVValue::Type::String: return *value.asString();
    case NRVValue::Type::Data: return NSDataExtensions::hexRepresentation(*value.asData());
    case NRVValue::Type::Date: return NSDateExtensions::timestampAsUTC(*value.asDate(), "yyyy-MM-dd HH:mm:ss Z");
    case NRVValue::Type::Array: return singleLineDescription(*value.asArray());
    case NRVValue::Type::Dictionary: return NSDictionaryExtensions::singleLineDescription(*value.asDictionary());
    }
    return "";
}

std::string niceDescriptionWithIndent(const NRVValue& value, std::size_t indent) {
    if (const auto* dictionary = value.asDictionary()) return NSDictionaryExtensions::niceDescriptionWithIndent(*dictionary, indent);
    if (const auto* array = value.asArray()) return niceDescriptionWithIndent(*array, indent);
    return description(value);
}

bool isEqual(const NRVValue& a, const NRVValue& b) {
    const bool aNumber = a.isNumber() || a.isBool(), bNumber = b.isNumber() || b.isBool();
    if (aNumber && bNumber) return doubleValue(a) == doubleValue(b);
    return a == b;
}

namespace detail {

std::string joined(char open, char close, std::size_t count, std::string_view separator,
                   const std::function<std::string(std::size_t)>& item) {
    std::string text(1, open);
    for (std::size_t i = 0; i < count; ++i) {
        if (i) text += separator;
        text += item(i);
    }
    text += close;
    return text;
}

std::string tree(char open, char close, std::size_t count, std::size_t indent,
                 const std::function<std::string(std::size_t)>& item) {
    std::string text(1, open);
    for (std::size_t i = 0; i < count; ++i) {
        text += i ? ",\n" : "\n";
        text.append(kIndentWidth * (indent + 1), ' ');
        text += item(i);
    }
    text += '\n';
    text.append(kIndentWidth * indent, ' ');
    text += close;
    return text;
}

}  // namespace detail

}  // namespace NSArrayExtensions
