// Host tests: loopback, private, link-local and carrier-grade NAT IPv4
// addresses, local and maker domains, and the host of a URL text.
#pragma once

#include <optional>
#include <string>

namespace NetworkUtility {

// The maker's own domains, which count as local.
constexpr const char* kMakerDomains[] = {"nerova.com", "nerova.net"};
constexpr const char* kMakerDomainSuffix = ".nerova.com";

// The host of `text` ("testScheme://" put in front when it has no "//");
// "" when it has none or is no URL.
std::string extractHost(const std::string& text);

// Each false for anything that is not an IPv4 address in the classic forms.
bool isLoopbackIPv4(const std::string& text);            // 127/8
bool isPrivateIPv4(const std::string& text);             // 10/8, 172.16/12, 192.168/16
bool isLoopbackOrPrivateIPv4(const std::string& text);
bool isLinkLocalIPv4(const std::string& text);           // 169.254/16
bool isCGNIPv4(const std::string& text);                 // 100.64/10

// A single-label host (also the empty host of a text that is no URL), a
// maker domain, or a host ending in ".local", ".localhost", ".localdomain"
// or the maker suffix; false for nil or empty.
bool isLocalOrNerovaDomain(const std::optional<std::string>& text);

}  // namespace NetworkUtility
