// Field wrappers that make JSON records tolerant of other writers: a
// DefaultFalse field reads as false, a DefaultNil field as nil, when the key is
// missing or holds a value of another type.
//
// Reading accepts both the bare value (what other components write) and the
// nested {"wrappedValue": ...} object that writing produces, so a record
// written here reads back with its values.
#pragma once

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <nlohmann/json.hpp>

struct DefaultFalse {
    bool wrappedValue = false;
    bool operator==(const DefaultFalse&) const = default;
};

template <class T>
struct DefaultNil {
    std::optional<T> wrappedValue;
    bool operator==(const DefaultNil&) const = default;
};

namespace DefaultDecoding {

inline constexpr const char* kWrappedValueKey = "wrappedValue";

// A value of T read strictly: numbers are not booleans, an integer must fit,
// a string is only a string. Other types go through their own from_json;
// whatever it refuses reads as nullopt.
template <class T>
std::optional<T> decodeValue(const nlohmann::json& value) {
    if constexpr (std::is_same_v<T, bool>) {
        if (value.is_boolean()) return value.get<bool>();
        return std::nullopt;
    } else if constexpr (std::is_integral_v<T>) {
        if (value.is_number_unsigned()) {
            const auto v = value.get<std::uint64_t>();
            if (v <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(v);
        } else if (value.is_number_integer()) {
            const auto v = value.get<std::int64_t>();
            if constexpr (std::is_signed_v<T>) {
                if (v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max()) return static_cast<T>(v);
            } else {
                if (v >= 0 && static_cast<std::uint64_t>(v) <= std::numeric_limits<T>::max()) return static_cast<T>(v);
            }
        } else if (value.is_number_float()) {
            // 3.0 is an integer; 3.5 is not.
            const double d = value.get<double>();
            if (std::trunc(d) == d && d >= static_cast<double>(std::numeric_limits<T>::min()) &&
                d < static_cast<double>(std::numeric_limits<T>::max()))
                return static_cast<T>(d);
        }
        return std::nullopt;
    } else if constexpr (std::is_floating_point_v<T>) {
        if (value.is_number()) return value.get<T>();
        return std::nullopt;
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (value.is_string()) return value.get<std::string>();
        return std::nullopt;
    } else {
        try {
            return value.get<T>();
        } catch (const nlohmann::json::exception&) {
            return std::nullopt;
        }
    }
}

// The object a wrapper writes: exactly the one key "wrappedValue".
inline const nlohmann::json* nestedWrappedValue(const nlohmann::json& value) {
    if (!value.is_object() || value.size() != 1) return nullptr;
    auto it = value.find(kWrappedValueKey);
    return it == value.end() ? nullptr : &*it;
}

// The wrapper's own decoder: the bare value, or the written form.
inline DefaultFalse decodeDefaultFalse(const nlohmann::json& value) {
    const nlohmann::json* nested = nestedWrappedValue(value);
    return DefaultFalse{decodeValue<bool>(nested ? *nested : value).value_or(false)};
}

template <class T>
DefaultNil<T> decodeDefaultNil(const nlohmann::json& value) {
    if (auto bare = decodeValue<T>(value)) return DefaultNil<T>{std::move(bare)};
    if (value.is_object() && value.empty()) return DefaultNil<T>{};  // a nil written by encode
    if (const nlohmann::json* nested = nestedWrappedValue(value)) return DefaultNil<T>{decodeValue<T>(*nested)};
    return DefaultNil<T>{};
}

// The keyed-container look-ups: an absent key, a null, or a container that is
// no object gives the default.
inline DefaultFalse decodeDefaultFalse(const nlohmann::json& container, std::string_view key) {
    if (!container.is_object()) return {};
    auto it = container.find(key);
    if (it == container.end() || it->is_null()) return {};
    return decodeDefaultFalse(*it);
}

template <class T>
DefaultNil<T> decodeDefaultNil(const nlohmann::json& container, std::string_view key) {
    if (!container.is_object()) return {};
    auto it = container.find(key);
    if (it == container.end() || it->is_null()) return {};
    return decodeDefaultNil<T>(*it);
}

// The written forms: {"wrappedValue": value}; for a nil, the empty object.
inline nlohmann::json encode(const DefaultFalse& field) {
    return nlohmann::json{{kWrappedValueKey, field.wrappedValue}};
}

template <class T>
nlohmann::json encode(const DefaultNil<T>& field) {
    nlohmann::json object = nlohmann::json::object();
    if (field.wrappedValue) object[kWrappedValueKey] = *field.wrappedValue;
    return object;
}

}  // namespace DefaultDecoding
