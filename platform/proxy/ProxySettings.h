// The machine's proxy settings and a watch on them. They come from the
// property-list file "<runtime root>/network/proxy.plist" (a dictionary of
// the keys below) and, when that file is absent, from the environment
// variables http_proxy, https_proxy and no_proxy (lower case only).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error/Error.h"
#include "platform/value/NRVValue.h"

namespace platform::proxy {

// Keys of a proxy dictionary.
namespace keys {
constexpr const char* kHTTPEnable = "HTTPEnable";          // integer 0 or 1
constexpr const char* kHTTPProxy = "HTTPProxy";            // host
constexpr const char* kHTTPPort = "HTTPPort";              // 1 to 65535
constexpr const char* kHTTPSEnable = "HTTPSEnable";
constexpr const char* kHTTPSProxy = "HTTPSProxy";
constexpr const char* kHTTPSPort = "HTTPSPort";
constexpr const char* kExceptionsList = "ExceptionsList";  // array of hosts and domains reached directly
constexpr const char* kHTTPUser = "HTTPUser";
constexpr const char* kHTTPPassword = "HTTPPassword";
constexpr const char* kHTTPSUser = "HTTPSUser";
constexpr const char* kHTTPSPassword = "HTTPSPassword";
}  // namespace keys

// The file is small: anything larger is refused unread.
constexpr std::size_t kMaxSettingsFileSize = 64 * 1024;
constexpr std::size_t kMaxExceptions = 1024;

enum class Source { kFile, kEnvironment, kNone };

struct Settings {
    NRVDictionary dictionary;  // only valid entries; empty: no proxy
    Source source = Source::kNone;
    // Why the file or a variable was not (wholly) taken; empty when it was.
    std::string problem;
};

// "<runtime root>/network/proxy.plist".
std::string settingsFilePath();

// Reads the settings now. A file that exists but is not a regular file
// (a link to a device, a FIFO), is too large or is not a property-list
// dictionary gives no proxy, with the reason; it never falls back to the
// environment, so a broken file is not silently replaced.
Settings currentSettings();

// The checks behind currentSettings, for the file's bytes and the three
// variables (nullptr when unset).
Settings settingsFromFileContents(const std::string& bytes);
Settings settingsFromEnvironment(const char* httpProxy, const char* httpsProxy, const char* noProxy);

// Calls `onChange` on its own thread whenever the settings file (or the
// "network" folder holding it) is created, written, replaced or removed;
// events read together give one call. Watches the runtime root, which must
// exist. Destroy (or cancel) from any thread but the callback's own.
class SettingsWatcher {
public:
    static std::unique_ptr<SettingsWatcher> create(std::function<void()> onChange, platform::Error* error = nullptr);
    virtual ~SettingsWatcher() = default;
    // Once it returns no call starts any more (one running finishes first).
    virtual void cancel() = 0;
};

}  // namespace platform::proxy
