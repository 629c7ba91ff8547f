// The keys of a proxy dictionary: what a URL session's configuration and
// the machine's proxy settings ("<runtime root>/network/proxy.plist") hold.
#pragma once

#include "platform/proxy/ProxySettings.h"

namespace NRVProxyDictionaryKeys {
namespace keys = platform::proxy::keys;
constexpr const char* kHTTPEnable = keys::kHTTPEnable;
constexpr const char* kHTTPProxy = keys::kHTTPProxy;
constexpr const char* kHTTPPort = keys::kHTTPPort;
constexpr const char* kHTTPSEnable = keys::kHTTPSEnable;
constexpr const char* kHTTPSProxy = keys::kHTTPSProxy;
constexpr const char* kHTTPSPort = keys::kHTTPSPort;
// Hosts and domains reached directly (an array of strings).
constexpr const char* kExceptionsList = keys::kExceptionsList;
// Proxy user name and password, when the machine's settings carry them.
constexpr const char* kHTTPUser = keys::kHTTPUser;
constexpr const char* kHTTPPassword = keys::kHTTPPassword;
constexpr const char* kHTTPSUser = keys::kHTTPSUser;
constexpr const char* kHTTPSPassword = keys::kHTTPSPassword;
}  // namespace NRVProxyDictionaryKeys
