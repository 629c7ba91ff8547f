// A stream connection over libcurl: a connect-only handle whose socket the
// caller reads and writes itself, used for web-socket style streams.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/http/HttpEngine.h"

namespace platform::http::detail {

// Connects to `url` (through `route` when given) and answers the open
// connection, or null with `result` filled in.
std::unique_ptr<StreamConnection> openStreamConnection(const std::string& url, const std::optional<ProxyRoute>& route,
                                                       const std::optional<Credentials>& credentials,
                                                       long connectTimeoutMs, ServerTrustHook hook,
                                                       TransferResult* result);

}  // namespace platform::http::detail
