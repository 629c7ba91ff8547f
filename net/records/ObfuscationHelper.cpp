#include "net/records/ObfuscationHelper.h"

#include <algorithm>
#include <cctype>

#include "net/url/NetworkUtility.h"

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

namespace ObfuscationHelper {

bool isThreatIWF(const std::string& threat) { return lower(threat) == "crim/cp"; }

bool isFaviconResource(const std::string& text) { return lower(text).find("/favicon.ico") != std::string::npos; }

bool isValidHostName(const std::string& text) { return lower(text) == lower(NetworkUtility::extractHost(text)); }

std::string obfuscatedIwfResult(const std::string& result, const std::string& threat) {
    if (isThreatIWF(threat) || isFaviconResource(result) || isValidHostName(result)) return kMask;
    return result;
}

}  // namespace ObfuscationHelper
