// The names the library's interprocess classes use for the transport's
// objects: a protocol is an interface table, a proxy is what calls go
// through (nullptr standing for nil).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/xpc/XPCConnection.h"
#include "platform/xpc/XPCInterface.h"
#include "platform/xpc/XPCListener.h"

using NRVXPCProtocol = std::shared_ptr<const platform::xpc::Interface>;
using NRVXPCProxy = std::shared_ptr<platform::xpc::RemoteProxy>;
using NRVXPCConnectionRef = std::shared_ptr<platform::xpc::Connection>;
using NRVXPCListenerRef = std::shared_ptr<platform::xpc::Listener>;
using NRVXPCEndpoint = platform::xpc::Endpoint;

// "(null)" for nil, as log lines print it.
inline std::string NRVXPCDescribe(const NRVXPCProxy& proxy) { return proxy ? proxy->description() : "(null)"; }
inline std::string NRVXPCDescribe(const std::optional<std::string>& text) { return text ? *text : "(null)"; }
inline std::string NRVXPCDescribe(const std::optional<NRVXPCEndpoint>& endpoint) {
    return endpoint ? "<NSXPCListenerEndpoint " + endpoint->name + ">" : "(null)";
}
