#include "net/records/NRVSecureDecoding.h"

namespace NRVSecureDecoding {

namespace {

void refuse(const char* key, const char* expected, NRVError* error) {
    NRVSetError(error, NRVError(kErrorDomain, kCoderReadCorruptError,
                                std::string("value for key '") + key + "' was not of the expected kind " + expected));
}

}  // namespace

void decodeString(const NRVDictionary& coder, const char* key, std::optional<std::string>& out, NRVError* error) {
    const NRVValue* v = coder.find(key);
    if (!v) return;
    if (const std::string* s = v->asString())
        out = *s;
    else
        refuse(key, "string", error);
}

void decodeInt64(const NRVDictionary& coder, const char* key, std::int64_t& out, NRVError* error) {
    const NRVValue* v = coder.find(key);
    if (!v) return;
    if (const std::int64_t* i = v->asInteger())
        out = *i;
    else
        refuse(key, "integer", error);
}

void decodeUInt64(const NRVDictionary& coder, const char* key, std::uint64_t& out, NRVError* error) {
    std::int64_t signedValue = static_cast<std::int64_t>(out);
    decodeInt64(coder, key, signedValue, error);
    out = static_cast<std::uint64_t>(signedValue);
}

void decodeBool(const NRVDictionary& coder, const char* key, bool& out, NRVError* error) {
    const NRVValue* v = coder.find(key);
    if (!v) return;
    if (const bool* b = v->asBool())
        out = *b;
    else if (const std::int64_t* i = v->asInteger())
        out = *i != 0;
    else
        refuse(key, "boolean", error);
}

void decodeNumberArray(const NRVDictionary& coder, const char* key, std::optional<NRVArray>& out, NRVError* error) {
    const NRVValue* v = coder.find(key);
    if (!v) return;
    const NRVArray* items = v->asArray();
    if (!items) {
        refuse(key, "array", error);
        return;
    }
    for (const auto& item : *items) {
        if (!item.isNumber()) {
            refuse(key, "array of numbers", error);
            return;
        }
    }
    out = *items;
}

}  // namespace NRVSecureDecoding
