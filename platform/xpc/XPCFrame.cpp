#include "platform/xpc/XPCFrame.h"

#include <optional>
#include <span>

#include "platform/bytes/ByteReader.h"
#include "platform/bytes/ByteWriter.h"
#include "platform/plist/PropertyList.h"

namespace platform::xpc {

namespace {

enum Tag : std::uint8_t {
    kNull = 0,
    kFalse = 1,
    kTrue = 2,
    kInteger = 3,
    kReal = 4,
    kString = 5,
    kData = 6,
    kDate = 7,
    kArray = 8,
    kDictionary = 9,
    kEndpoint = 10,
    kRecord = 11,
};

constexpr int kMaxDepth = platform::plist::kMaxDepth;

class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}
    void byte(std::uint8_t b) { out_.u8(b); }
    void u32(std::uint32_t v) { out_.u32(v); }
    void u64(std::uint64_t v) { out_.u64(v); }
    void bytes(const void* p, std::size_t n) {
        out_.u32(static_cast<std::uint32_t>(n));
        out_.bytes(p, n);
    }
    void str(const std::string& s) { bytes(s.data(), s.size()); }
    void real(double d) { out_.f64(d); }
    // The length prefix at the start, once the body behind it is written.
    void lengthPrefix(std::uint32_t body) { out_.u32At(0, body); }

    bool plain(const NRVValue& v, int depth) {
        if (depth > kMaxDepth) return false;
        switch (v.type()) {
            case NRVValue::Type::Null: byte(kNull); return true;
            case NRVValue::Type::Bool: byte(*v.asBool() ? kTrue : kFalse); return true;
            case NRVValue::Type::Integer: byte(kInteger); u64(static_cast<std::uint64_t>(*v.asInteger())); return true;
            case NRVValue::Type::Real: byte(kReal); real(*v.asReal()); return true;
            case NRVValue::Type::String: byte(kString); str(*v.asString()); return true;
            case NRVValue::Type::Data: byte(kData); bytes(v.asData()->data(), v.asData()->size()); return true;
            case NRVValue::Type::Date: byte(kDate); real(v.asDate()->sinceReferenceDate); return true;
            case NRVValue::Type::Array:
                byte(kArray);
                u32(static_cast<std::uint32_t>(v.asArray()->size()));
                for (const NRVValue& item : *v.asArray())
                    if (!plain(item, depth + 1)) return false;
                return true;
            case NRVValue::Type::Dictionary: return dictionary(*v.asDictionary(), depth);
        }
        return false;
    }
    bool dictionary(const NRVDictionary& d, int depth) {
        byte(kDictionary);
        u32(static_cast<std::uint32_t>(d.size()));
        for (std::size_t i = 0; i < d.size(); ++i) {
            str(d.keyAt(i));
            if (!plain(d.valueAt(i), depth + 1)) return false;
        }
        return true;
    }
    bool value(const Value& v, int depth) {
        if (const Endpoint* e = v.endpoint()) {
            byte(kEndpoint);
            str(e->name);
            return true;
        }
        if (const CodedRecord* r = v.record()) {
            byte(kRecord);
            str(r->className);
            return dictionary(r->fields, depth + 1);
        }
        return plain(*v.plain(), depth);
    }
    bool values(const Values& vs, int depth) {
        byte(kArray);
        u32(static_cast<std::uint32_t>(vs.size()));
        for (const Value& v : vs)
            if (!value(v, depth + 1)) return false;
        return true;
    }

private:
    platform::bytes::BigEndianWriter out_;
};

class Reader {
public:
    Reader(const std::uint8_t* p, std::size_t n) : in_({p, n}) {}
    std::string error;

    bool atEnd() const { return in_.atEnd(); }
    bool fail(const char* why) {
        if (error.empty()) error = why;
        return false;
    }
    bool byte(std::uint8_t& b) { return in_.u8(&b) || fail("truncated value"); }
    bool u32(std::uint32_t& v) { return in_.u32(&v) || fail("truncated value"); }
    bool u64(std::uint64_t& v) { return in_.u64(&v) || fail("truncated value"); }
    bool real(double& d) { return in_.f64(&d) || fail("truncated value"); }
    bool span(const std::uint8_t*& start, std::uint32_t& n) {
        if (!u32(n)) return false;
        std::span<const std::uint8_t> taken;
        if (!in_.take(n, &taken)) return fail("length beyond the frame");
        start = taken.data();
        return true;
    }
    bool str(std::string& s) {
        const std::uint8_t* start;
        std::uint32_t n;
        if (!span(start, n)) return false;
        s.assign(reinterpret_cast<const char*>(start), n);
        return true;
    }
    // A count of members, each at least one byte long.
    bool count(std::uint32_t& n) {
        if (!u32(n)) return false;
        if (in_.remaining() < n) return fail("count beyond the frame");
        return true;
    }

    bool plainWithTag(std::uint8_t tag, NRVValue& out, int depth) {
        if (depth > kMaxDepth) return fail("nesting too deep");
        switch (tag) {
            case kNull: out = NRVValue(); return true;
            case kFalse: out = NRVValue(false); return true;
            case kTrue: out = NRVValue(true); return true;
            case kInteger: {
                std::uint64_t v;
                if (!u64(v)) return false;
                out = NRVValue(static_cast<long long>(v));
                return true;
            }
            case kReal: {
                double d;
                if (!real(d)) return false;
                out = NRVValue(d);
                return true;
            }
            case kString: {
                std::string s;
                if (!str(s)) return false;
                out = NRVValue(std::move(s));
                return true;
            }
            case kData: {
                const std::uint8_t* start;
                std::uint32_t n;
                if (!span(start, n)) return false;
                out = NRVValue(NRVData(start, start + n));
                return true;
            }
            case kDate: {
                double d;
                if (!real(d)) return false;
                out = NRVValue(NRVDate{d});
                return true;
            }
            case kArray: {
                std::uint32_t n;
                if (!count(n)) return false;
                NRVArray items;
                items.reserve(n);
                for (std::uint32_t i = 0; i < n; ++i) {
                    NRVValue item;
                    if (!plain(item, depth + 1)) return false;
                    items.push_back(std::move(item));
                }
                out = NRVValue(std::move(items));
                return true;
            }
            case kDictionary: {
                NRVDictionary d;
                if (!dictionaryBody(d, depth)) return false;
                out = NRVValue(std::move(d));
                return true;
            }
            case kEndpoint:
            case kRecord: return fail("endpoint or record inside a plain value");
            default: return fail("unknown value kind");
        }
    }
    bool plain(NRVValue& out, int depth) {
        std::uint8_t tag;
        return byte(tag) && plainWithTag(tag, out, depth);
    }
    bool dictionaryBody(NRVDictionary& d, int depth) {
        std::uint32_t n;
        if (!count(n)) return false;
        for (std::uint32_t i = 0; i < n; ++i) {
            std::string key;
            NRVValue v;
            if (!str(key) || !plain(v, depth + 1)) return false;
            if (d.contains(key)) return fail("duplicate dictionary key");
            d.set(std::move(key), std::move(v));
        }
        return true;
    }
    bool value(Value& out, int depth) {
        std::uint8_t tag;
        if (!byte(tag)) return false;
        if (tag == kEndpoint) {
            std::string name;
            if (!str(name)) return false;
            out = Value(Endpoint{std::move(name)});
            return true;
        }
        if (tag == kRecord) {
            CodedRecord r;
            std::uint8_t dtag;
            if (!str(r.className) || !byte(dtag)) return false;
            if (dtag != kDictionary) return fail("record fields are not a dictionary");
            if (!dictionaryBody(r.fields, depth + 1)) return false;
            out = Value(std::move(r));
            return true;
        }
        NRVValue v;
        if (!plainWithTag(tag, v, depth)) return false;
        out = Value(std::move(v));
        return true;
    }
    bool values(Values& out, int depth) {
        std::uint8_t tag;
        if (!byte(tag)) return false;
        if (tag != kArray) return fail("values are not an array");
        std::uint32_t n;
        if (!count(n)) return false;
        out.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            Value v;
            if (!value(v, depth + 1)) return false;
            out.push_back(std::move(v));
        }
        return true;
    }
    bool integer(std::int64_t& v) {
        std::uint8_t tag;
        std::uint64_t raw;
        if (!byte(tag)) return false;
        if (tag != kInteger) return fail("expected an integer");
        if (!u64(raw)) return false;
        v = static_cast<std::int64_t>(raw);
        return true;
    }
    bool string(std::string& s) {
        std::uint8_t tag;
        if (!byte(tag)) return false;
        if (tag != kString) return fail("expected a string");
        return str(s);
    }
    bool boolean(bool& b) {
        std::uint8_t tag;
        if (!byte(tag)) return false;
        if (tag != kTrue && tag != kFalse) return fail("expected a bool");
        b = tag == kTrue;
        return true;
    }

private:
    platform::bytes::BigEndianReader in_;
};

bool refuse(platform::Error* error, std::string why) {
    if (error) *error = platform::Error{.operation = {}, .code = 0, .description = std::move(why), .status = 0};
    return false;
}

}  // namespace

Frame Frame::call(std::uint64_t id, std::string selector, Values arguments, bool wantsReply) {
    Frame f;
    f.kind = Kind::Call;
    f.id = id;
    f.selector = std::move(selector);
    f.arguments = std::move(arguments);
    f.wantsReply = wantsReply;
    return f;
}

Frame Frame::reply(std::uint64_t id, Values values) {
    Frame f;
    f.kind = Kind::Reply;
    f.id = id;
    f.values = std::move(values);
    return f;
}

Frame Frame::error(std::uint64_t id, std::int64_t code, std::string text) {
    Frame f;
    f.kind = Kind::Error;
    f.id = id;
    f.errorCode = code;
    f.errorText = std::move(text);
    return f;
}

bool encodeFrame(const Frame& frame, std::vector<std::uint8_t>& out, platform::Error* error) {
    out.clear();
    out.resize(kFramePrefixLength);
    Writer w(out);
    bool ok = true;
    switch (frame.kind) {
        case Frame::Kind::Call:
            w.byte(kArray);
            w.u32(5);
            w.byte(kInteger), w.u64(0);
            w.byte(kInteger), w.u64(frame.id);
            w.byte(kString), w.str(frame.selector);
            ok = w.values(frame.arguments, 1);
            w.byte(frame.wantsReply ? kTrue : kFalse);
            break;
        case Frame::Kind::Reply:
            w.byte(kArray);
            w.u32(3);
            w.byte(kInteger), w.u64(1);
            w.byte(kInteger), w.u64(frame.id);
            ok = w.values(frame.values, 1);
            break;
        case Frame::Kind::Error:
            w.byte(kArray);
            w.u32(4);
            w.byte(kInteger), w.u64(2);
            w.byte(kInteger), w.u64(frame.id);
            w.byte(kInteger), w.u64(static_cast<std::uint64_t>(frame.errorCode));
            w.byte(kString), w.str(frame.errorText);
            break;
    }
    if (!ok) {
        return refuse(error, "nesting too deep");
    }
    std::size_t body = out.size() - kFramePrefixLength;
    if (body > kMaxFrameLength) {
        return refuse(error, "frame too long");
    }
    w.lengthPrefix(static_cast<std::uint32_t>(body));
    return true;
}

std::uint32_t frameBodyLength(const std::uint8_t* prefix) {
    std::uint32_t length = 0;
    platform::bytes::BigEndianReader({prefix, kFramePrefixLength}).u32(&length);
    return length;
}

bool decodeFrameBody(const std::uint8_t* body, std::size_t length, Frame& out, platform::Error* error) {
    Reader r(body, length);
    auto done = [&](bool ok) {
        if (ok && !r.atEnd()) ok = r.fail("bytes after the frame");
        if (!ok) refuse(error, r.error);
        return ok;
    };
    std::uint8_t tag;
    std::uint32_t n;
    if (!r.byte(tag)) return done(false);
    if (tag != kArray) return done(r.fail("frame is not an array"));
    if (!r.count(n)) return done(false);
    std::int64_t kind, id;
    if (n < 3 || !r.integer(kind) || !r.integer(id)) return done(r.fail("frame without kind and id"));
    out = Frame{};
    out.id = static_cast<std::uint64_t>(id);
    switch (kind) {
        case 0:
            out.kind = Frame::Kind::Call;
            if (n != 5) return done(r.fail("call of the wrong size"));
            return done(r.string(out.selector) && r.values(out.arguments, 1) && r.boolean(out.wantsReply));
        case 1:
            out.kind = Frame::Kind::Reply;
            if (n != 3) return done(r.fail("reply of the wrong size"));
            return done(r.values(out.values, 1));
        case 2:
            out.kind = Frame::Kind::Error;
            if (n != 4) return done(r.fail("error of the wrong size"));
            return done(r.integer(out.errorCode) && r.string(out.errorText));
        default: return done(r.fail("unknown frame kind"));
    }
}

platform::Error transportError(std::int64_t code, std::string description) {
    platform::Error error;
    error.description = std::move(description);
    error.status = code;
    return error;
}

std::string fullDescription(const platform::Error& error) {
    return std::string("Error Domain=") + kErrorDomain + " Code=" + std::to_string(error.status) + " \"" +
           error.description + "\"";
}

}  // namespace platform::xpc
