#include "foundation/NRVValueJSON.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>

namespace NRVValueJSON {

namespace {

constexpr const char* kErrorDomain = "NSCocoaErrorDomain";
constexpr std::int64_t kReadCorruptError = 3840;
constexpr std::int64_t kWriteInvalidError = 3851;

// Reading and converting recurse once per level; text nested deeper than the
// property-list reader admits is refused before either sees it, so hostile
// text cannot exhaust the stack.
bool nestingWithinLimit(std::string_view text) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        else if (c == '{' || c == '[') {
            if (++depth > kMaxDepth) return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

NRVValue fromJSON(const nlohmann::ordered_json& json) {
    switch (json.type()) {
    case nlohmann::ordered_json::value_t::boolean: return NRVValue(json.get<bool>());
    case nlohmann::ordered_json::value_t::number_integer: return NRVValue(json.get<std::int64_t>());
    case nlohmann::ordered_json::value_t::number_unsigned: {
        const auto u = json.get<std::uint64_t>();
        return u <= static_cast<std::uint64_t>(INT64_MAX) ? NRVValue(static_cast<std::int64_t>(u))
                                                          : NRVValue(static_cast<double>(u));
    }
    case nlohmann::ordered_json::value_t::number_float: return NRVValue(json.get<double>());
    case nlohmann::ordered_json::value_t::string: return NRVValue(json.get<std::string>());
    case nlohmann::ordered_json::value_t::array: {
        NRVArray array;
        array.reserve(json.size());
        for (const auto& element : json) array.push_back(fromJSON(element));
        return NRVValue(std::move(array));
    }
    case nlohmann::ordered_json::value_t::object: {
        NRVDictionary dictionary;
        for (const auto& [key, value] : json.items()) dictionary.set(key, fromJSON(value));
        return NRVValue(std::move(dictionary));
    }
    default: return NRVValue();
    }
}

void appendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += "\\/"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                static constexpr char kHex[] = "0123456789abcdef";
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0x0F];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

class PrettyWriter {
public:
    bool write(const NRVValue& value, int level) {
        switch (value.type()) {
        case NRVValue::Type::Null: out_ += "null"; return true;
        case NRVValue::Type::Bool: out_ += *value.asBool() ? "true" : "false"; return true;
        case NRVValue::Type::Integer: out_ += std::to_string(*value.asInteger()); return true;
        case NRVValue::Type::Real: return writeReal(*value.asReal());
        case NRVValue::Type::String: appendQuoted(out_, *value.asString()); return true;
        case NRVValue::Type::Array: return writeArray(*value.asArray(), level);
        case NRVValue::Type::Dictionary: return writeDictionary(*value.asDictionary(), level);
        case NRVValue::Type::Data:
        case NRVValue::Type::Date: return false;
        }
        return false;
    }
    std::string take() { return std::move(out_); }

private:
    void newline(int level) {
        out_ += '\n';
        out_.append(static_cast<std::size_t>(level) * 2, ' ');
    }
    bool writeReal(double d) {
        if (!std::isfinite(d)) return false;
        char buffer[32];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
        out_.append(buffer, result.ptr);
        return true;
    }
    bool writeArray(const NRVArray& array, int level) {
        return writeContainer('[', ']', array.size(), level, [&](std::size_t i) { return write(array[i], level + 1); });
    }
    bool writeDictionary(const NRVDictionary& dictionary, int level) {
        return writeContainer('{', '}', dictionary.size(), level, [&](std::size_t i) {
            appendQuoted(out_, dictionary.keyAt(i));
            out_ += " : ";
            return write(dictionary.valueAt(i), level + 1);
        });
    }
    // One item a line, one level deeper than the brackets; an empty container
    // still gets its blank line, as the platform's writer does.
    template <typename WriteItem>
    bool writeContainer(char open, char close, std::size_t count, int level, WriteItem writeItem) {
        out_ += open;
        if (count == 0) out_ += '\n';
        for (std::size_t i = 0; i < count; ++i) {
            if (i) out_ += ',';
            newline(level + 1);
            if (!writeItem(i)) return false;
        }
        newline(level);
        out_ += close;
        return true;
    }

    std::string out_;
};

}  // namespace

std::optional<NRVValue> parse(std::string_view text, NRVError* error) {
    if (!nestingWithinLimit(text)) {
        NRVSetError(error, NRVError(kErrorDomain, kReadCorruptError, "JSON text nested too deeply"));
        return std::nullopt;
    }
    try {
        const auto json = nlohmann::ordered_json::parse(text);
        if (!json.is_array() && !json.is_object()) {
            NRVSetError(error, NRVError(kErrorDomain, kReadCorruptError, "JSON text did not start with array or object"));
            return std::nullopt;
        }
        return fromJSON(json);
    } catch (const nlohmann::json::exception& e) {
        NRVSetError(error, NRVError(kErrorDomain, kReadCorruptError, e.what()));
        return std::nullopt;
    }
}

std::optional<std::string> prettyPrinted(const NRVValue& value, NRVError* error) {
    PrettyWriter writer;
    if (!writer.write(value, 0)) {
        NRVSetError(error, NRVError(kErrorDomain, kWriteInvalidError, "Invalid type in JSON write"));
        return std::nullopt;
    }
    return writer.take();
}

}  // namespace NRVValueJSON
