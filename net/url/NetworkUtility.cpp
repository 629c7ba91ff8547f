#include "net/url/NetworkUtility.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string_view>

#include "net/url/NRVIPAddressSpace.h"
#include "net/url/NRVURL.h"
#include "platform/net/Address.h"

namespace {

struct Range {
    std::uint32_t ip;
    unsigned prefixLength;
};

constexpr Range kLoopback[] = {{0x7F000000u, 8}};
constexpr Range kPrivate[] = {{0x0A000000u, 8}, {0xAC100000u, 12}, {0xC0A80000u, 16}};
constexpr Range kLinkLocal[] = {{0xA9FE0000u, 16}};
constexpr Range kCarrierGradeNAT[] = {{0x64400000u, 10}};

template <std::size_t N>
bool inAny(const std::string& text, const Range (&ranges)[N]) {
    std::optional<std::uint32_t> ip = platform::net::parseIPv4Address(text);
    if (!ip) return false;
    return std::any_of(std::begin(ranges), std::end(ranges), [&](const Range& r) {
        return NRVIPAddressSpace::ipInRange(r.ip, NRVIPAddressSpace::maskForPrefixLength(r.prefixLength), *ip);
    });
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

namespace NetworkUtility {

std::string extractHost(const std::string& text) {
    std::string candidate = text.find("//") == std::string::npos ? "testScheme://" + text : text;
    std::optional<NRVURL> url = NRVURL::parse(candidate);
    if (!url || url->scheme.empty() || !url->host) return "";
    return *url->host;
}

bool isLoopbackIPv4(const std::string& text) { return inAny(text, kLoopback); }
bool isPrivateIPv4(const std::string& text) { return inAny(text, kPrivate); }
bool isLoopbackOrPrivateIPv4(const std::string& text) { return isLoopbackIPv4(text) || isPrivateIPv4(text); }
bool isLinkLocalIPv4(const std::string& text) { return inAny(text, kLinkLocal); }
bool isCGNIPv4(const std::string& text) { return inAny(text, kCarrierGradeNAT); }

bool isLocalOrNerovaDomain(const std::optional<std::string>& text) {
    if (!text || text->empty()) return false;
    std::string host = extractHost(*text);
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (host.find('.') == std::string::npos) return true;
    for (const char* domain : kMakerDomains)
        if (host == domain) return true;
    for (const char* suffix : {".local", ".localhost", ".localdomain", kMakerDomainSuffix})
        if (endsWith(host, suffix)) return true;
    return false;
}

}  // namespace NetworkUtility
