// What travels over the interprocess transport: the library's value type,
// extended with listener endpoints and coded records, and how the transport
// reports errors (the platform layer sits below the library's NRVError).
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/error/Error.h"
#include "platform/value/NRVValue.h"

namespace platform::xpc {

// An anonymous listener's address ("nrvxpc." and 32 hex digits). Anyone on
// the machine may connect to it: trust rests on the accept-side checks.
struct Endpoint {
    std::string name;
    bool operator==(const Endpoint&) const = default;
};

// A record that crosses the boundary as its class name and its fields.
struct CodedRecord {
    std::string className;
    NRVDictionary fields;
    bool operator==(const CodedRecord&) const = default;
};

// One argument or reply value: a plain value (null standing for nil), an
// endpoint or a coded record.
class Value {
public:
    Value() = default;
    template <class T>
        requires std::constructible_from<NRVValue, T> && (!std::same_as<std::decay_t<T>, Value>)
    Value(T&& v) : v_(NRVValue(std::forward<T>(v))) {}
    Value(Endpoint e) : v_(std::move(e)) {}
    Value(CodedRecord r) : v_(std::move(r)) {}

    const NRVValue* plain() const { return std::get_if<NRVValue>(&v_); }
    const Endpoint* endpoint() const { return std::get_if<Endpoint>(&v_); }
    const CodedRecord* record() const { return std::get_if<CodedRecord>(&v_); }
    bool isNull() const { return plain() && plain()->isNull(); }
    // Plain-value shortcuts; nullptr for another kind.
    const std::string* asString() const { return plain() ? plain()->asString() : nullptr; }
    const std::int64_t* asInteger() const { return plain() ? plain()->asInteger() : nullptr; }
    const bool* asBool() const { return plain() ? plain()->asBool() : nullptr; }

    bool operator==(const Value&) const = default;

private:
    std::variant<NRVValue, Endpoint, CodedRecord> v_;
};

using Values = std::vector<Value>;

// Codes of transport errors, the platform's numbers.
constexpr std::int64_t kErrorInterrupted = 4097;
constexpr std::int64_t kErrorInvalid = 4099;
constexpr std::int64_t kErrorReplyInvalid = 4101;
constexpr const char* kErrorDomain = "NSCocoaErrorDomain";

// A transport error: the code (one of the above, or what the peer sent) in
// `status`, the sentence in `description`.
platform::Error transportError(std::int64_t code, std::string description);
// "Error Domain=… Code=… "text"", the form callers log and pass on.
std::string fullDescription(const platform::Error& error);

// The largest frame body; a longer announced length closes the connection.
constexpr std::uint32_t kMaxFrameLength = 16u * 1024u * 1024u;

}  // namespace platform::xpc
