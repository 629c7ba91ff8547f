#include "platform/plist/PropertyList.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "platform/fs/FileManager.h"
#include "platform/plist/BinaryPropertyListBounds.h"

namespace platform::plist {

namespace {

// Preference lists are small; a larger file is not one of ours.
constexpr std::uint64_t kMaxFileSize = 64ull << 20;
// What a binary list may expand to once shared objects are copied.
constexpr std::size_t kMaxBinaryValues = 16u << 20;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::optional<NRVValue> toValue(plist_t node, int depth) {
    if (!node || depth > kMaxDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return NRVValue(b != 0);
        }
        case PLIST_UINT: {
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return NRVValue(static_cast<long long>(static_cast<std::int64_t>(u)));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return NRVValue(d);
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return NRVValue(std::string(text ? text : "", text ? length : 0));
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            NRVData data;
            if (bytes) data.assign(reinterpret_cast<const std::uint8_t*>(bytes),
                                   reinterpret_cast<const std::uint8_t*>(bytes) + length);
            return NRVValue(std::move(data));
        }
        case PLIST_DATE: {
            std::int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            // The binary reader splits a date before 2001 into whole seconds
            // rounded toward zero and a fraction without its sign; the
            // fraction belongs on the same side as the seconds. (A date less
            // than a second before 2001 has lost its sign there already.)
            double fraction = static_cast<double>(usec) / 1e6;
            if (sec < 0 && usec > 0) fraction = -fraction;
            return NRVValue(NRVDate{static_cast<double>(sec) + fraction});
        }
        case PLIST_UID: {
            std::uint64_t u = 0;
            plist_get_uid_val(node, &u);
            return NRVValue(static_cast<long long>(static_cast<std::int64_t>(u)));
        }
        case PLIST_ARRAY: {
            NRVArray array;
            const std::uint32_t n = plist_array_get_size(node);
            array.reserve(n);
            for (std::uint32_t i = 0; i < n; ++i) {
                auto item = toValue(plist_array_get_item(node, i), depth + 1);
                if (!item) return std::nullopt;
                array.push_back(std::move(*item));
            }
            return NRVValue(std::move(array));
        }
        case PLIST_DICT: {
            NRVDictionary dict;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (!item) {
                    std::free(key);
                    break;
                }
                auto value = toValue(item, depth + 1);
                std::string k = key ? key : "";
                std::free(key);
                if (!value) {
                    std::free(it);
                    return std::nullopt;
                }
                dict.set(std::move(k), std::move(*value));
            }
            std::free(it);
            return NRVValue(std::move(dict));
        }
        default:
            return std::nullopt;
    }
}

plist_t fromValue(const NRVValue& value, int depth) {
    if (depth > kMaxDepth) return nullptr;
    switch (value.type()) {
        case NRVValue::Type::Null:
            return nullptr;
        case NRVValue::Type::Bool:
            return plist_new_bool(*value.asBool() ? 1 : 0);
        case NRVValue::Type::Integer:
            return plist_new_uint(static_cast<std::uint64_t>(*value.asInteger()));
        case NRVValue::Type::Real:
            return plist_new_real(*value.asReal());
        case NRVValue::Type::String:
            return plist_new_string(value.asString()->c_str());
        case NRVValue::Type::Data: {
            const NRVData& d = *value.asData();
            return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
        }
        case NRVValue::Type::Date: {
            double t = value.asDate()->sinceReferenceDate;
            if (!std::isfinite(t)) return nullptr;
            double sec = std::floor(t);
            // Rounded, not truncated: a date read back and written again
            // must not lose a microsecond each time.
            double usec = std::round((t - sec) * 1e6);
            if (usec >= 1e6) {
                sec += 1;
                usec -= 1e6;
            }
            if (sec < std::numeric_limits<std::int32_t>::min() || sec > std::numeric_limits<std::int32_t>::max())
                return nullptr;
            return plist_new_date(static_cast<std::int32_t>(sec), static_cast<std::int32_t>(usec));
        }
        case NRVValue::Type::Array: {
            plist_t array = plist_new_array();
            for (const auto& item : *value.asArray()) {
                plist_t node = fromValue(item, depth + 1);
                if (!node) {
                    plist_free(array);
                    return nullptr;
                }
                plist_array_append_item(array, node);
            }
            return array;
        }
        case NRVValue::Type::Dictionary: {
            plist_t dict = plist_new_dict();
            const NRVDictionary& d = *value.asDictionary();
            for (std::size_t i = 0; i < d.size(); ++i) {
                plist_t node = fromValue(d.valueAt(i), depth + 1);
                if (!node) {
                    plist_free(dict);
                    return nullptr;
                }
                plist_dict_set_item(dict, d.keyAt(i).c_str(), node);
            }
            return dict;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<NRVValue> readData(const std::string& bytes, std::string* error) {
    if (bytes.empty() || bytes.size() > kMaxFileSize) {
        if (error) *error = bytes.empty() ? "empty property list" : "property list too large";
        return std::nullopt;
    }
    plist_t root = nullptr;
    const auto length = static_cast<std::uint32_t>(bytes.size());
    if (plist_is_binary(bytes.data(), length)) {
        if (!isBoundedBinaryPropertyList(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                                         kMaxDepth + 1, kMaxBinaryValues)) {
            if (error) *error = "malformed, cyclic or too deeply nested binary property list";
            return std::nullopt;
        }
        plist_from_bin(bytes.data(), length, &root);
    } else {
        plist_from_xml(bytes.data(), length, &root);
    }
    PlistPtr guard(root);
    if (!root) {
        if (error) *error = "malformed property list";
        return std::nullopt;
    }
    auto value = toValue(root, 0);
    if (!value && error) *error = "property list nested too deeply or of an unknown kind";
    return value;
}

std::optional<NRVValue> readFile(const std::string& path, std::string* error) {
    auto size = fs::fileSize(path);
    if (size && *size > kMaxFileSize) {
        if (error) *error = "property list too large";
        return std::nullopt;
    }
    fs::FsError fsError;
    auto bytes = fs::readFile(path, &fsError);
    if (!bytes) {
        if (error) *error = fsError.description;
        return std::nullopt;
    }
    return readData(*bytes, error);
}

std::optional<std::string> serialize(const NRVValue& value, Format format) {
    PlistPtr root(fromValue(value, 0));
    if (!root) return std::nullopt;
    char* out = nullptr;
    std::uint32_t length = 0;
    std::string result;
    if (format == Format::XML) {
        plist_to_xml(static_cast<plist_t>(root.get()), &out, &length);
        if (!out) return std::nullopt;
        result.assign(out, length);
        plist_to_xml_free(out);
    } else {
        plist_to_bin(static_cast<plist_t>(root.get()), &out, &length);
        if (!out) return std::nullopt;
        result.assign(out, length);
        plist_to_bin_free(out);
    }
    return result;
}

bool writeFile(const std::string& path, const NRVValue& value, Format format) {
    auto data = serialize(value, format);
    return data && fs::writeFileAtomically(path, *data);
}

}  // namespace platform::plist
