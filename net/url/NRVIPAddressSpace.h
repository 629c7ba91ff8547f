// An IPv4 address with a mask, both in host byte order: a range of addresses.
#pragma once

#include <cstdint>

class NRVIPAddressSpace {
public:
    NRVIPAddressSpace(std::uint32_t ip, std::uint32_t mask) : ip_(ip), mask_(mask) {}
    static NRVIPAddressSpace initWithExclusion(std::uint32_t ip, std::uint32_t mask) { return {ip, mask}; }

    std::uint32_t ip() const { return ip_; }
    std::uint32_t mask() const { return mask_; }

    // ((candidate XOR ip) AND mask) == 0.
    bool ipInRange(std::uint32_t candidate) const { return ipInRange(ip_, mask_, candidate); }
    static bool ipInRange(std::uint32_t ip, std::uint32_t mask, std::uint32_t candidate) {
        return ((candidate ^ ip) & mask) == 0;
    }
    // The mask of the top `prefixLength` bits (0 for 0, all bits from 32 up);
    // a length over 32 is no range, so callers refuse it first.
    static std::uint32_t maskForPrefixLength(unsigned prefixLength) {
        return prefixLength == 0 ? 0u : prefixLength >= 32 ? 0xFFFFFFFFu : 0xFFFFFFFFu << (32 - prefixLength);
    }

private:
    std::uint32_t ip_;
    std::uint32_t mask_;
};
