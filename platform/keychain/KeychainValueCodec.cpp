#include "platform/keychain/KeychainValueCodec.h"

namespace platform::keychain::detail {

void writeBlob(LittleEndianWriter& w, const void* data, std::size_t n) {
    w.u32(static_cast<std::uint32_t>(n));
    w.bytes(data, n);
}

bool readBlob(LittleEndianReader& r, std::span<const std::uint8_t>* out) {
    std::uint32_t n = 0;
    return r.u32(&n) && r.take(n, out);
}

void encodeValue(LittleEndianWriter& w, const NRVValue& value) {
    switch (value.type()) {
        case NRVValue::Type::Null: w.u8('n'); break;
        case NRVValue::Type::Bool: w.u8('b'); w.u8(*value.asBool() ? 1 : 0); break;
        case NRVValue::Type::Integer: w.u8('i'); w.u64(static_cast<std::uint64_t>(*value.asInteger())); break;
        case NRVValue::Type::Real: w.u8('r'); w.f64(*value.asReal()); break;
        case NRVValue::Type::Date: w.u8('t'); w.f64(value.asDate()->sinceReferenceDate); break;
        case NRVValue::Type::String: w.u8('s'); writeBlob(w, value.asString()->data(), value.asString()->size()); break;
        case NRVValue::Type::Data: w.u8('d'); writeBlob(w, value.asData()->data(), value.asData()->size()); break;
        case NRVValue::Type::Array:
            w.u8('a');
            w.u32(static_cast<std::uint32_t>(value.asArray()->size()));
            for (const NRVValue& v : *value.asArray()) encodeValue(w, v);
            break;
        case NRVValue::Type::Dictionary: {
            const NRVDictionary& d = *value.asDictionary();
            w.u8('D');
            w.u32(static_cast<std::uint32_t>(d.size()));
            for (std::size_t i = 0; i < d.size(); ++i) {
                writeBlob(w, d.keyAt(i).data(), d.keyAt(i).size());
                encodeValue(w, d.valueAt(i));
            }
            break;
        }
    }
}

bool decodeValue(LittleEndianReader& r, NRVValue* out, int depth) {
    if (depth > kMaxValueDepth) return false;
    std::uint8_t kind = 0;
    if (!r.u8(&kind)) return false;
    std::uint64_t bits = 0;
    std::span<const std::uint8_t> bytes;
    switch (kind) {
        case 'n': *out = NRVValue(); return true;
        case 'b': {
            std::uint8_t b = 0;
            if (!r.u8(&b) || b > 1) return false;
            *out = NRVValue(b == 1);
            return true;
        }
        case 'i':
            if (!r.u64(&bits)) return false;
            *out = NRVValue(static_cast<long long>(static_cast<std::int64_t>(bits)));
            return true;
        case 'r':
        case 't': {
            double d = 0;
            if (!r.f64(&d)) return false;
            *out = kind == 'r' ? NRVValue(d) : NRVValue(NRVDate{d});
            return true;
        }
        case 's':
            if (!readBlob(r, &bytes)) return false;
            *out = NRVValue(std::string(bytes.begin(), bytes.end()));
            return true;
        case 'd':
            if (!readBlob(r, &bytes)) return false;
            *out = NRVValue(NRVData(bytes.begin(), bytes.end()));
            return true;
        case 'a': {
            std::uint32_t n = 0;
            if (!r.u32(&n) || n > r.remaining()) return false;  // every element takes a byte at least
            NRVArray array;
            array.reserve(n);
            for (std::uint32_t i = 0; i < n; ++i) {
                NRVValue v;
                if (!decodeValue(r, &v, depth + 1)) return false;
                array.push_back(std::move(v));
            }
            *out = NRVValue(std::move(array));
            return true;
        }
        case 'D': {
            std::uint32_t n = 0;
            if (!r.u32(&n) || n > r.remaining()) return false;
            NRVDictionary d;
            for (std::uint32_t i = 0; i < n; ++i) {
                NRVValue v;
                if (!readBlob(r, &bytes) || !decodeValue(r, &v, depth + 1)) return false;
                std::string key(bytes.begin(), bytes.end());
                if (d.contains(key)) return false;
                d.set(std::move(key), std::move(v));
            }
            *out = NRVValue(std::move(d));
            return true;
        }
        default: return false;
    }
}

}  // namespace platform::keychain::detail
