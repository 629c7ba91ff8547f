// String helpers of the base library. Text is UTF-8; "nil" is std::nullopt.
// Lengths, positions and ranges count UTF-16 units, as the platform's string
// class does, so that limits and ranges agree with peers that store them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/NRVError.h"
#include "platform/value/NRVValue.h"

// A span of UTF-16 units; `location` is NRVNotFound when a search fails.
struct NRVRange {
    std::size_t location = 0;
    std::size_t length = 0;
    bool operator==(const NRVRange&) const = default;
};
inline constexpr std::size_t NRVNotFound = static_cast<std::size_t>(INT64_MAX);

namespace NSStringExtensions {

// --- tests on nil-able strings
bool isNilOrEmpty(std::optional<std::string_view> string);
bool hasContent(std::optional<std::string_view> string);
// true for nil, "" and text made only of white space and line ends.
bool isNilOrWhiteSpace(std::optional<std::string_view> string);
// true for "true", "YES", "on" or "1" in any case; false for anything else and nil.
bool boolValueFor(std::optional<std::string_view> string);

// --- tests on a string
bool isDecimalDigits(std::string_view string);          // Unicode decimal digits, not blank
bool isHexadecimalCharacters(std::string_view string);  // [0-9A-Fa-f], not blank
bool isAlphaNumeric(std::string_view string);           // letters, marks, numbers; "" passes
bool isBoolean(std::string_view string);  // true/false/YES/NO/on/off/1/0 in any case
bool isCaseInsensitiveEqualToString(std::string_view string, std::string_view other);
bool isMD5String(std::string_view string);  // 32 hexadecimal characters
// Anchored searches ignoring case; an empty argument is never found.
bool hasPrefixCaseInsensitiveSearch(std::string_view string, std::string_view prefix);
bool hasSuffixCaseInsensitiveSearch(std::string_view string, std::string_view suffix);
// Accepts what inet_aton accepts, short and hexadecimal forms included.
bool isValidIP4Address(std::string_view string);
// 10/8, 127/8, 192.168/16 or 172.16/12.
bool isPrivateIP4Address(std::string_view string);
// Server names from settings: at most 1,024 units of [A-Za-z0-9._-], ending
// in one of the product's own domains.
bool isAllowedServer(std::string_view string);

// --- conversions
std::string valueOrEmptyString(std::optional<std::string_view> string);
// The 8-4-4-4-12 form of an MD5 text; nullopt for anything else.
std::optional<std::string> formatToUuidWithMD5String(std::optional<std::string_view> string);
std::string stringByAbbreviatingUserDataFirmlinkInPath(std::string_view path);
// Text longer than `maxLength` units becomes its first maxLength - 1 units
// and "…"; a surrogate pair at the cut is dropped whole. A maximum of 0 gives "".
std::string truncatedMaxLength(std::string_view string, std::size_t maxLength);
// The leading decimal digits after blanks and line ends; 0 when there are
// none; UINT64_MAX when the number does not fit.
std::uint64_t unsignedLongLongValue(std::string_view string);
std::string md5(std::string_view string);         // 32 lower-case hex characters
std::string sha256Hash(std::string_view string);  // 64 lower-case hex characters
// SHA-256 of the first `saltLength` salt bytes followed by the lower-cased text.
std::string sha256HashWithSalt(std::string_view string, const void* salt, std::size_t saltLength);
// The raw 32-byte digest; nullopt for "".
std::optional<NRVData> sha256(std::string_view string);
std::uint64_t nerovaThreatId(std::string_view string);
// The composed character sequences in reverse order (marks stay on their base).
std::string reverse(std::string_view string);
// The top-level JSON array or object; nullopt and an error for bad JSON.
std::optional<NRVValue> JSONStringToDictionary(std::string_view string, NRVError* error = nullptr);
// The 32 hexadecimal digits between "SID=" and ";".
std::optional<std::string> extractSIDGUID(std::string_view string);
// Position of the first occurrence, {NRVNotFound, 0} when absent or empty.
NRVRange indexOf(std::string_view string, std::string_view searchString);

// The string's length in UTF-16 units.
std::size_t utf16Length(std::string_view string);

}  // namespace NSStringExtensions
