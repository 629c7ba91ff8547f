#include "platform/xpc/XPCInterface.h"

namespace platform::xpc {

const Method* Interface::find(const std::string& selector) const {
    auto it = methods_.find(selector);
    return it == methods_.end() ? nullptr : &it->second;
}

bool valueHasKind(const Value& value, Kind kind) {
    if (kind == Kind::Any) return true;
    if (value.isNull()) return kind != Kind::Integer && kind != Kind::Bool;
    if (kind == Kind::Endpoint) return value.endpoint() != nullptr;
    if (kind == Kind::Record) return value.record() != nullptr;
    const NRVValue* v = value.plain();
    if (!v) return false;
    switch (kind) {
        case Kind::String: return v->isString();
        case Kind::Integer: return v->isInteger();
        case Kind::Bool: return v->isBool();
        case Kind::Number: return v->isNumber() || v->isBool();
        case Kind::Real: return v->isNumber();
        case Kind::Data: return v->isData();
        case Kind::Date: return v->isDate();
        case Kind::Array: return v->isArray();
        case Kind::Dictionary: return v->isDictionary();
        default: return false;
    }
}

std::string Interface::mismatch(const std::vector<Kind>& kinds, const Values& values) {
    if (kinds.size() != values.size())
        return "expected " + std::to_string(kinds.size()) + " values, got " + std::to_string(values.size());
    for (std::size_t i = 0; i < kinds.size(); ++i)
        if (!valueHasKind(values[i], kinds[i])) return "value " + std::to_string(i + 1) + " has the wrong kind";
    return "";
}

}  // namespace platform::xpc
