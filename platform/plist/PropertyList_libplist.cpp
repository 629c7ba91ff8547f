#include "platform/plist/PropertyList.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/fs/FileManager.h"
#include "platform/plist/PropertyListBounds.h"
#include "platform/text/UTF8Bridge.h"

namespace platform::plist {

namespace {

// Lists held in memory (messages, data read by callers).
constexpr std::uint64_t kMaxDataSize = 64ull << 20;
// Preference lists are small; a larger file is not one of ours.
constexpr std::uint64_t kMaxFileSize = 8ull << 20;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Dates. libplist keeps a date as a double of seconds since 2001 but hands it
// out and takes it in only as 32-bit seconds plus unsigned microseconds, which
// wraps dates after 2069-01-19 and moves a pre-2001 date with a fraction
// forward. Its binary form carries the double whole, so dates cross through
// a one-object binary list: "bplist00", the date object (0x33 and the double,
// big-endian), a one-entry offset table and the 32-byte trailer.
constexpr std::size_t kDateObjectOffset = 8;
constexpr std::size_t kDateListSize = 8 + 9 + 1 + 32;

std::optional<double> dateSeconds(plist_t node) {
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    std::optional<double> seconds;
    if (bytes && length >= kDateObjectOffset + 9 &&
        static_cast<unsigned char>(bytes[kDateObjectOffset]) == 0x33) {
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < 8; ++i)
            bits = bits << 8 | static_cast<unsigned char>(bytes[kDateObjectOffset + 1 + i]);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        seconds = value;
    }
    plist_to_bin_free(bytes);
    return seconds;
}

plist_t newDate(double seconds) {
    unsigned char list[kDateListSize] = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0x33};
    std::uint64_t bits;
    std::memcpy(&bits, &seconds, sizeof bits);
    for (std::size_t i = 0; i < 8; ++i) list[kDateObjectOffset + 1 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    unsigned char* trailer = list + kDateListSize - 32;
    list[kDateListSize - 33] = static_cast<unsigned char>(kDateObjectOffset);  // the offset table
    trailer[6] = 1;                                                          // offset size
    trailer[7] = 1;                                                          // object reference size
    trailer[15] = 1;                                                         // one object, the top one (0)
    trailer[31] = static_cast<unsigned char>(kDateListSize - 33);            // where the offset table starts
    plist_t node = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(list), kDateListSize, &node);
    if (node && plist_get_node_type(node) != PLIST_DATE) {
        plist_free(node);
        return nullptr;
    }
    return node;
}

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
            const auto seconds = dateSeconds(node);
            if (!seconds) return std::nullopt;
            return NRVValue(NRVDate{*seconds});
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
            // libplist finds an item by index by walking the list from its
            // head; an iterator keeps reading a long array linear.
            plist_array_iter it = nullptr;
            plist_array_new_iter(node, &it);
            for (std::uint32_t i = 0; i < n; ++i) {
                plist_t child = nullptr;
                plist_array_next_item(node, it, &child);
                auto item = toValue(child, depth + 1);
                if (!item) {
                    std::free(it);
                    return std::nullopt;
                }
                array.push_back(std::move(*item));
            }
            std::free(it);
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

plist_t fromValue(const NRVValue& value, Format format, int depth) {
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
            // libplist takes C strings: a NUL inside would silently cut the
            // text short, so such a value is not written at all.
            if (value.asString()->find('\0') != std::string::npos) return nullptr;
            // libplist would alter malformed UTF-8 each format its own way;
            // written, it is U+FFFD, as the rest of the system reads it.
            return plist_new_string(platform::text::wellFormedUTF8(*value.asString()).c_str());
        case NRVValue::Type::Data: {
            const NRVData& d = *value.asData();
            return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
        }
        case NRVValue::Type::Date: {
            const double t = value.asDate()->sinceReferenceDate;
            if (!std::isfinite(t)) return nullptr;
            // XML holds whole seconds and libplist cuts toward zero, which
            // would move a pre-2001 date forward; round down first.
            return newDate(format == Format::XML ? std::floor(t) : t);
        }
        case NRVValue::Type::Array: {
            plist_t array = plist_new_array();
            for (const auto& item : *value.asArray()) {
                plist_t node = fromValue(item, format, depth + 1);
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
                plist_t node = d.keyAt(i).find('\0') == std::string::npos
                                   ? fromValue(d.valueAt(i), format, depth + 1)
                                   : nullptr;
                if (!node) {
                    plist_free(dict);
                    return nullptr;
                }
                plist_dict_set_item(dict, platform::text::wellFormedUTF8(d.keyAt(i)).c_str(), node);
            }
            return dict;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<NRVValue> readData(const std::string& bytes, platform::Error* error) {
    auto fail = [&](std::string description) -> std::optional<NRVValue> {
        if (error) *error = platform::Error{"", 0, std::move(description)};
        return std::nullopt;
    };
    if (bytes.empty() || bytes.size() > kMaxDataSize)
        return fail(bytes.empty() ? "empty property list" : "property list too large");
    platform::Error why;
    if (!isBoundedPropertyList(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &why))
        return fail(std::move(why.description));
    plist_t root = nullptr;
    const auto length = static_cast<std::uint32_t>(bytes.size());
    if (plist_is_binary(bytes.data(), length)) {
        plist_from_bin(bytes.data(), length, &root);
    } else {
        plist_from_xml(bytes.data(), length, &root);
    }
    PlistPtr guard(root);
    if (!root) return fail("malformed property list");
    auto value = toValue(root, 0);
    if (!value) return fail("property list nested too deeply or of an unknown kind");
    return value;
}

std::optional<NRVValue> readFile(const std::string& path, platform::Error* error) {
    auto bytes = fs::readFile(path, error, kMaxFileSize);
    if (!bytes) return std::nullopt;
    return readData(*bytes, error);
}

std::optional<std::string> serialize(const NRVValue& value, Format format) {
    PlistPtr root(fromValue(value, format, 0));
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
