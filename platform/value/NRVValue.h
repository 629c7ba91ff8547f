// The library's one dynamic value: what property lists, JSON, settings
// payloads and interprocess messages carry. Dictionaries keep insertion
// order, as the readers of those formats hand keys out in file order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

class NRVValue;

using NRVData = std::vector<std::uint8_t>;

// A point in time as seconds since 2001-01-01 00:00:00 UTC, the epoch of
// property-list dates.
struct NRVDate {
    double sinceReferenceDate = 0;

    static constexpr double kSecondsFrom1970To2001 = 978307200.0;
    static NRVDate fromUnix(double seconds) { return NRVDate{seconds - kSecondsFrom1970To2001}; }
    double timeIntervalSince1970() const { return sinceReferenceDate + kSecondsFrom1970To2001; }
    bool operator==(const NRVDate&) const = default;
};

class NRVDictionary {
public:
    NRVDictionary() = default;

    std::size_t size() const { return keys_.size(); }
    bool empty() const { return keys_.empty(); }
    const std::vector<std::string>& keys() const { return keys_; }
    const std::vector<NRVValue>& values() const { return values_; }

    // nullptr when the key is absent.
    const NRVValue* find(std::string_view key) const;
    NRVValue* find(std::string_view key);
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Replaces the value of an existing key in place, else appends.
    void set(std::string key, NRVValue value);
    // Room for `count` keys, for a caller that knows how many will come.
    void reserve(std::size_t count);
    bool erase(std::string_view key);
    const std::string& keyAt(std::size_t i) const { return keys_[i]; }
    const NRVValue& valueAt(std::size_t i) const;

    bool operator==(const NRVDictionary& other) const;

private:
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::size_t indexOf(std::string_view key) const;

    // Up to this many keys a lookup compares the keys in turn, which is
    // faster than hashing and costs no allocation; past it the hash index is
    // made and kept from then on.
    static constexpr std::size_t kLinearLookupLimit = 8;

    // Keys in insertion order, and (past kLinearLookupLimit keys) a hash index
    // from key to position so that lookups and insertions stay O(1) for lists
    // of hundreds of thousands of keys.
    std::vector<std::string> keys_;
    std::vector<NRVValue> values_;
    std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> index_;  // empty until made
};

using NRVArray = std::vector<NRVValue>;

class NRVValue {
public:
    enum class Type { Null, Bool, Integer, Real, String, Data, Date, Array, Dictionary };
    using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string, NRVData,
                                 NRVDate, NRVArray, NRVDictionary>;

    NRVValue() = default;
    NRVValue(std::nullptr_t) {}
    NRVValue(bool b) : storage_(b) {}
    NRVValue(int i) : storage_(static_cast<std::int64_t>(i)) {}
    NRVValue(long i) : storage_(static_cast<std::int64_t>(i)) {}
    NRVValue(long long i) : storage_(static_cast<std::int64_t>(i)) {}
    NRVValue(unsigned i) : storage_(static_cast<std::int64_t>(i)) {}
    NRVValue(double d) : storage_(d) {}
    NRVValue(const char* s) : storage_(std::string(s)) {}
    NRVValue(std::string s) : storage_(std::move(s)) {}
    NRVValue(std::string_view s) : storage_(std::string(s)) {}
    NRVValue(NRVData d) : storage_(std::move(d)) {}
    NRVValue(NRVDate d) : storage_(d) {}
    NRVValue(NRVArray a) : storage_(std::move(a)) {}
    NRVValue(NRVDictionary d) : storage_(std::move(d)) {}

    Type type() const { return static_cast<Type>(storage_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isReal() const { return type() == Type::Real; }
    bool isNumber() const { return isInteger() || isReal(); }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Typed access; nullptr when the value holds another type.
    const bool* asBool() const { return std::get_if<bool>(&storage_); }
    const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&storage_); }
    const double* asReal() const { return std::get_if<double>(&storage_); }
    const std::string* asString() const { return std::get_if<std::string>(&storage_); }
    const NRVData* asData() const { return std::get_if<NRVData>(&storage_); }
    const NRVDate* asDate() const { return std::get_if<NRVDate>(&storage_); }
    const NRVArray* asArray() const { return std::get_if<NRVArray>(&storage_); }
    NRVArray* asArray() { return std::get_if<NRVArray>(&storage_); }
    const NRVDictionary* asDictionary() const { return std::get_if<NRVDictionary>(&storage_); }
    NRVDictionary* asDictionary() { return std::get_if<NRVDictionary>(&storage_); }

    const Storage& storage() const { return storage_; }

    // Dictionary member lookup; nullptr when this is no dictionary or the key is absent.
    const NRVValue* operator[](std::string_view key) const {
        const NRVDictionary* d = asDictionary();
        return d ? d->find(key) : nullptr;
    }

    bool operator==(const NRVValue& other) const { return storage_ == other.storage_; }

private:
    Storage storage_;
};

inline std::size_t NRVDictionary::indexOf(std::string_view key) const {
    if (index_.empty()) {
        for (std::size_t i = 0; i < keys_.size(); ++i)
            if (keys_[i] == key) return i;
        return keys_.size();
    }
    auto it = index_.find(key);
    return it == index_.end() ? keys_.size() : it->second;
}

inline const NRVValue* NRVDictionary::find(std::string_view key) const {
    std::size_t i = indexOf(key);
    return i < keys_.size() ? &values_[i] : nullptr;
}

inline NRVValue* NRVDictionary::find(std::string_view key) {
    std::size_t i = indexOf(key);
    return i < keys_.size() ? &values_[i] : nullptr;
}

inline void NRVDictionary::set(std::string key, NRVValue value) {
    if (NRVValue* existing = find(key)) {
        *existing = std::move(value);
        return;
    }
    if (!index_.empty()) {
        index_.emplace(key, keys_.size());
    } else if (keys_.size() == kLinearLookupLimit) {
        index_.reserve(keys_.size() + 1);
        for (std::size_t i = 0; i < keys_.size(); ++i) index_.emplace(keys_[i], i);
        index_.emplace(key, keys_.size());
    }
    keys_.push_back(std::move(key));
    values_.push_back(std::move(value));
}

// Erasing is rare (a reader dropping one key); it renumbers the positions
// after the erased one.
inline bool NRVDictionary::erase(std::string_view key) {
    std::size_t i = indexOf(key);
    if (i >= keys_.size()) return false;
    // `key` may be a view of the key being erased: the index goes first.
    const bool indexed = !index_.empty();
    if (indexed) index_.erase(index_.find(key));
    keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(i));
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(i));
    if (indexed) {
        for (std::size_t j = i; j < keys_.size(); ++j) index_[keys_[j]] = j;
    }
    return true;
}

inline void NRVDictionary::reserve(std::size_t count) {
    keys_.reserve(count);
    values_.reserve(count);
}

inline const NRVValue& NRVDictionary::valueAt(std::size_t i) const { return values_[i]; }

inline bool NRVDictionary::operator==(const NRVDictionary& other) const {
    return keys_ == other.keys_ && values_ == other.values_;
}
