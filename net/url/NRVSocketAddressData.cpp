#include "net/url/NRVSocketAddressData.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "net/url/NRVIPAddressSpace.h"
#include "net/url/NRVURL.h"
#include "platform/net/Address.h"

namespace {

std::vector<std::string> split(const std::string& s, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = s.find(separator, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// The integer value of a text as the platform reads one: leading blanks,
// a sign, then digits as far as they go; 0 without digits. Saturates.
long long integerValue(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long long value = 0;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        if (value > (1LL << 40)) break;  // far beyond any prefix length
        value = value * 10 + (s[i] - '0');
    }
    return negative ? -value : value;
}

std::string hostOf(const std::string& text) {
    std::optional<NRVURL> url = NRVURL::parse(text);
    if (url && url->host && !url->host->empty()) return *url->host;
    return text;
}

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        return std::tolower(x) == std::tolower(y);
    });
}

}  // namespace

namespace NRVSocketAddressData {

std::optional<std::string> addressStringForSocketHandle(int socketHandle) {
    if (socketHandle == 0) return std::nullopt;
    return platform::net::peerAddressString(socketHandle);
}

std::optional<std::string> addressStringForConnectionAddressData(const NRVData* data) {
    if (!data) return std::nullopt;
    return platform::net::socketAddressString(*data);
}

bool componentsForIPv4Range(const std::string& self, NRVData* address, long long* prefixLength) {
    std::vector<std::string> parts = split(self, '/');
    if (parts.size() > 2) return false;
    std::optional<std::uint32_t> ip = platform::net::parseIPv4Address(parts[0]);
    if (!ip) return false;
    if (address)
        *address = NRVData{static_cast<std::uint8_t>(*ip >> 24), static_cast<std::uint8_t>(*ip >> 16),
                           static_cast<std::uint8_t>(*ip >> 8), static_cast<std::uint8_t>(*ip)};
    if (prefixLength) *prefixLength = parts.size() == 2 && !parts[1].empty() ? integerValue(parts[1]) : 32;
    return true;
}

bool isEqualToHostName(const std::string& self, const std::string& other) {
    return equalIgnoringCase(self, hostOf(other));
}

bool isBaseDomainForHost(const std::string& self, const std::string& other) {
    std::vector<std::string> host = split(hostOf(other), '.');
    std::vector<std::string> domain = split(self, '.');
    if (domain.size() > host.size()) return false;
    return std::equal(domain.begin(), domain.end(), host.end() - static_cast<std::ptrdiff_t>(domain.size()));
}

bool isInSubnetRange(const std::string& self, const std::string& range) {
    std::optional<std::uint32_t> candidate = platform::net::parseIPv4Address(self);
    NRVData address;
    long long prefix = 0;
    if (!candidate || !componentsForIPv4Range(range, &address, &prefix)) return false;
    if (prefix < 0 || prefix > 32) return false;
    std::uint32_t ip = (std::uint32_t{address[0]} << 24) | (std::uint32_t{address[1]} << 16) |
                       (std::uint32_t{address[2]} << 8) | address[3];
    return NRVIPAddressSpace::ipInRange(ip, NRVIPAddressSpace::maskForPrefixLength(static_cast<unsigned>(prefix)),
                                        *candidate);
}

bool isNetworkEquivalentTo(const std::string& self, const std::string& other) {
    return isEqualToHostName(self, other) || isBaseDomainForHost(self, other) || isInSubnetRange(other, self);
}

bool isPrivateIPv4Address(const std::string& self) {
    std::optional<std::uint32_t> ip = platform::net::parseIPv4Address(self);
    if (!ip) return false;
    static const NRVIPAddressSpace ranges[] = {
        {0x0A000000u, NRVIPAddressSpace::maskForPrefixLength(8)},
        {0x7F000000u, NRVIPAddressSpace::maskForPrefixLength(8)},
        {0xAC100000u, NRVIPAddressSpace::maskForPrefixLength(12)},
        {0xC0A80000u, NRVIPAddressSpace::maskForPrefixLength(16)},
    };
    return std::any_of(std::begin(ranges), std::end(ranges), [&](const auto& r) { return r.ipInRange(*ip); });
}

}  // namespace NRVSocketAddressData
