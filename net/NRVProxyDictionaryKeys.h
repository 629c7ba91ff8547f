// The keys of a proxy dictionary: what a URL session's configuration and
// the machine's proxy settings ("<runtime root>/network/proxy.plist") hold.
#pragma once

namespace NRVProxyDictionaryKeys {
constexpr const char* kHTTPEnable = "HTTPEnable";
constexpr const char* kHTTPProxy = "HTTPProxy";
constexpr const char* kHTTPPort = "HTTPPort";
constexpr const char* kHTTPSEnable = "HTTPSEnable";
constexpr const char* kHTTPSProxy = "HTTPSProxy";
constexpr const char* kHTTPSPort = "HTTPSPort";
// Hosts and domains reached directly (an array of strings).
constexpr const char* kExceptionsList = "ExceptionsList";
// Proxy user name and password, when the machine's settings carry them.
constexpr const char* kHTTPUser = "HTTPUser";
constexpr const char* kHTTPPassword = "HTTPPassword";
constexpr const char* kHTTPSUser = "HTTPSUser";
constexpr const char* kHTTPSPassword = "HTTPSPassword";
}  // namespace NRVProxyDictionaryKeys
