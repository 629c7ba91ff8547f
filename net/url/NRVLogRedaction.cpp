#include "net/url/NRVLogRedaction.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <random>

namespace NRVLogRedaction {
namespace {

bool sameName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        return std::tolower(x) == std::tolower(y);
    });
}

// "name=value&flag" with every value masked.
std::string maskedParameters(std::string_view parameters) {
    std::string out;
    std::size_t start = 0;
    while (start <= parameters.size()) {
        std::size_t end = parameters.find('&', start);
        if (end == std::string_view::npos) end = parameters.size();
        std::string_view part = parameters.substr(start, end - start);
        if (start > 0) out += '&';
        if (const std::size_t equals = part.find('='); equals != std::string_view::npos) {
            out.append(part.substr(0, equals + 1));
            if (equals + 1 < part.size()) out += kMask;
        } else if (!part.empty()) {
            out += kMask;
        }
        start = end + 1;
    }
    return out;
}

// The user part without its password: "user:pass@" gives "user@".
std::string withoutPassword(std::string_view authority) {
    const std::size_t at = authority.rfind('@');
    if (at == std::string_view::npos) return std::string(authority);
    std::string_view user = authority.substr(0, at);
    if (const std::size_t colon = user.find(':'); colon != std::string_view::npos) user = user.substr(0, colon);
    return std::string(user) + std::string(authority.substr(at));
}

using Key = std::array<unsigned char, 32>;

Key makeKey() {
    Key key{};
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
        // Without OpenSSL's generator the system's own source still keeps
        // the key out of reach of the log's readers.
        std::random_device device;
        for (auto& byte : key) byte = static_cast<unsigned char>(device());
    }
    return key;
}

}  // namespace

std::string redactedURL(std::string_view url) {
    std::string out;
    std::size_t rest = 0;
    if (const std::size_t scheme = url.find("://"); scheme != std::string_view::npos &&
                                                     url.find_first_of("?#") > scheme) {
        const std::size_t hostStart = scheme + 3;
        std::size_t hostEnd = url.find_first_of("/?#", hostStart);
        if (hostEnd == std::string_view::npos) hostEnd = url.size();
        out.append(url.substr(0, hostStart));
        out += withoutPassword(url.substr(hostStart, hostEnd - hostStart));
        rest = hostEnd;
    }
    const std::size_t query = url.find_first_of("?#", rest);
    if (query == std::string_view::npos) return out.append(url.substr(rest));
    out.append(url.substr(rest, query - rest));
    const std::size_t fragment = url.find('#', query);
    if (url[query] == '?') {
        const std::size_t end = fragment == std::string_view::npos ? url.size() : fragment;
        out += '?';
        out += maskedParameters(url.substr(query + 1, end - query - 1));
    }
    if (fragment != std::string_view::npos) {
        out += '#';
        out += maskedParameters(url.substr(fragment + 1));
    }
    return out;
}

bool isSecretHeaderField(std::string_view name) {
    static constexpr std::string_view kSecret[] = {"Cookie", "Set-Cookie", "Authorization", "Proxy-Authorization"};
    return std::any_of(std::begin(kSecret), std::end(kSecret), [&](std::string_view s) { return sameName(s, name); });
}

std::string keyedDigest(std::string_view value) {
    static const Key key = makeKey();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(value.data()),
              value.size(), digest, &length)) {
        return kMask;
    }
    std::string hex;
    hex.reserve(length * 2);
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

}  // namespace NRVLogRedaction
