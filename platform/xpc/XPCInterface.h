// A protocol as the transport sees it: a name and a table of selectors, each
// with the kinds of its arguments and, for calls that answer, of its reply.
// Incoming calls are checked against the table before they reach the
// exported object; replies are checked before they reach the reply block.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/xpc/XPCTypes.h"

namespace platform::xpc {

// Object kinds accept null (nil); Integer and Bool are scalars and do not.
enum class Kind { Any, String, Integer, Bool, Number, Real, Data, Date, Array, Dictionary, Endpoint, Record };

struct Method {
    std::vector<Kind> arguments;
    // Absent for a one-way call.
    std::optional<std::vector<Kind>> reply;
};

class Interface {
public:
    explicit Interface(std::string protocolName) : name_(std::move(protocolName)) {}

    Interface& method(const std::string& selector, std::vector<Kind> arguments,
                      std::optional<std::vector<Kind>> reply = std::nullopt) {
        methods_[selector] = Method{std::move(arguments), std::move(reply)};
        return *this;
    }

    const std::string& name() const { return name_; }
    const Method* find(const std::string& selector) const;
    const std::map<std::string, Method>& methods() const { return methods_; }

    // "" when the values fit the kinds, else what is wrong.
    static std::string mismatch(const std::vector<Kind>& kinds, const Values& values);

private:
    std::string name_;
    std::map<std::string, Method> methods_;
};

bool valueHasKind(const Value& value, Kind kind);

}  // namespace platform::xpc
