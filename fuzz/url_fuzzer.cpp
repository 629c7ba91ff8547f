// Feeds arbitrary text to the URL parser and to the proxy-settings reader,
// both of which read what users and the settings service give. The first
// line of the input is also taken as the three proxy environment variables.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/url/NRVURL.h"
#include "platform/proxy/ProxySettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto url = NRVURL::parse(text)) {
        // What the parser answers is a part of what it read.
        if (url->host && url->host->size() > size) __builtin_trap();
        if (url->path.size() > size) __builtin_trap();
    }
    (void)platform::proxy::settingsFromFileContents(std::string(text));
    const std::string line(text.substr(0, text.find('\n')));
    const std::string::size_type split = line.size() / 2;
    const std::string first = line.substr(0, split), second = line.substr(split);
    (void)platform::proxy::settingsFromEnvironment(first.c_str(), second.c_str(), line.c_str());
    return 0;
}
