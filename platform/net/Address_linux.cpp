#include "platform/net/Address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

namespace platform::net {

std::optional<std::uint32_t> parseIPv4Address(std::string_view text) {
    // The parser reads a C string, so text with a NUL inside has no such form.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    in_addr address{};
    if (inet_aton(std::string(text).c_str(), &address) == 0) return std::nullopt;
    return ntohl(address.s_addr);
}

namespace {

constexpr std::uint8_t kPlatformFamilyIPv4 = 2;
constexpr std::uint8_t kPlatformFamilyIPv6 = 30;

std::optional<std::string> text(int family, const void* address) {
    char buffer[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(family, address, buffer, sizeof buffer)) return std::nullopt;
    return std::string(buffer);
}

}  // namespace

std::optional<std::string> peerAddressString(int fd) {
    if (fd < 0) return std::nullopt;
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return std::nullopt;
    if (storage.ss_family == AF_INET && length >= sizeof(sockaddr_in))
        return text(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr);
    if (storage.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6))
        return text(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr);
    return std::nullopt;
}

std::optional<std::string> socketAddressString(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 2) return std::nullopt;
    int family = -1;
    if (bytes[1] == kPlatformFamilyIPv4 && bytes[0] != 0)
        family = AF_INET;
    else if (bytes[1] == kPlatformFamilyIPv6 && bytes[0] != 0)
        family = AF_INET6;
    else {
        sa_family_t native = 0;
        static_assert(sizeof native == 2);
        std::memcpy(&native, bytes.data(), sizeof native);
        if (native == AF_INET) family = AF_INET;
        if (native == AF_INET6) family = AF_INET6;
    }
    if (family == AF_INET && bytes.size() >= 8) return text(AF_INET, bytes.data() + 4);
    if (family == AF_INET6 && bytes.size() >= 24) return text(AF_INET6, bytes.data() + 8);
    return std::nullopt;
}

std::string ipv4String(std::uint32_t address) {
    in_addr a{};
    a.s_addr = htonl(address);
    return text(AF_INET, &a).value_or(std::string());
}

}  // namespace platform::net
