// Masks web-filter results before they are shown or stored.
#pragma once

#include <string>

namespace ObfuscationHelper {

constexpr const char* kMask = "xxxxxxxx";

// kMask when the threat is the protected-content category, the result is a
// favicon, or the result is a bare host name; the result unchanged otherwise.
std::string obfuscatedIwfResult(const std::string& result, const std::string& threat);
// The threat name equals "Crim/CP", ignoring case.
bool isThreatIWF(const std::string& threat);
// The text contains "/favicon.ico", ignoring case.
bool isFaviconResource(const std::string& text);
// The text equals, ignoring case, the host NetworkUtility::extractHost finds in it.
bool isValidHostName(const std::string& text);

}  // namespace ObfuscationHelper
