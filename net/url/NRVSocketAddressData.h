// Address and host helpers on strings: socket addresses as text, and
// comparisons of hosts, domains and IPv4 subnets. "self" is the string the
// platform's category method is called on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/value/NRVValue.h"

namespace NRVSocketAddressData {

// The peer address of a connected socket, IPv4 or IPv6; nullopt for
// descriptor 0, a failure or another family.
std::optional<std::string> addressStringForSocketHandle(int socketHandle);
// The address of a socket address held in data (see
// platform::net::socketAddressString); nullopt for nil data, data too
// short for its family, or a family other than IPv4 and IPv6.
std::optional<std::string> addressStringForConnectionAddressData(const NRVData* data);

// "a.b.c.d[/n]": the address as 4 bytes in network order and n (32 when
// absent or empty; the integer value of the text otherwise, which may be
// out of range: callers check). false for more than one "/" or an address
// that does not parse.
bool componentsForIPv4Range(const std::string& self, NRVData* address, long long* prefixLength);

// The other string's URL host, or the string itself without one, equal to
// self ignoring case.
bool isEqualToHostName(const std::string& self, const std::string& other);
// self (a domain) equals the last labels of the other's host, label by
// label, case-sensitive.
bool isBaseDomainForHost(const std::string& self, const std::string& other);
// self (an IPv4 address) inside `range` ("a.b.c.d[/n]"). A prefix length
// over 32 or below 0 matches nothing; 0 matches everything.
bool isInSubnetRange(const std::string& self, const std::string& range);
// Equal host, base domain, or `other` inside self taken as a range.
bool isNetworkEquivalentTo(const std::string& self, const std::string& other);
// 10/8, 127/8, 172.16/12 or 192.168/16.
bool isPrivateIPv4Address(const std::string& self);

}  // namespace NRVSocketAddressData
