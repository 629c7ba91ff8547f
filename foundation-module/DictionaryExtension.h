// Key mapping of dictionaries.
#pragma once

#include <unordered_map>

namespace DictionaryExtension {
// Thrown by mapKeys when two keys map to the same new key: one of the values
// would be lost.
struct DuplicateKeyError {};

// A new dictionary with every key transformed and the values kept. What the
// transform throws comes through unchanged.
template <class NewKey, class Key, class Value, class Transform>
std::unordered_map<NewKey, Value> mapKeys(const std::unordered_map<Key, Value>& dictionary, Transform transform) {
    std::unordered_map<NewKey, Value> result;
    result.reserve(dictionary.size());
    for (const auto& [key, value] : dictionary)
        if (!result.emplace(transform(key), value).second) throw DuplicateKeyError{};
    return result;
}
}  // namespace DictionaryExtension
