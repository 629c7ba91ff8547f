#include "foundation/NSStringExtensions.h"

#include <openssl/evp.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>

#include <array>
#include <climits>
#include <memory>
#include <span>

#include "foundation/NRVUnicodeScalars.h"
#include "platform/net/Address.h"
#include "platform/text/UTF8Bridge.h"
#include "platform/value/HexString.h"
#include "foundation/NRVValueJSON.h"
#include "foundation/NSDataBase64.h"

namespace NSStringExtensions {

namespace {

using NRVUnicodeScalars::isWhiteSpaceOrNewline;
using NRVUnicodeScalars::next;

template <typename Predicate>
bool allScalars(std::string_view text, Predicate predicate) {
    for (std::size_t i = 0; i < text.size();)
        if (!predicate(next(text, i))) return false;
    return true;
}

std::size_t utf16Units(char32_t scalar) { return scalar >= 0x10000 ? 2 : 1; }

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

using platform::text::caselessCanonicalKey;
using platform::text::combinesAt;

std::optional<icu::UnicodeString> unicode(std::string_view text) { return platform::text::unicodeFromUTF8(text); }
std::string toUTF8(const icu::UnicodeString& s) { return platform::text::utf8FromUnicode(s); }

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The product's own server domains; a name must end with one of them.
constexpr std::array<std::string_view, 7> kAllowedServerSuffixes = {
    ".nerova.com", ".nerova.net", ".nerova.io", ".nerovacloud.com",
    ".nerovasecurity.com", ".nerova-cdn.com", ".nerovaupdate.com",
};
constexpr std::size_t kMaxServerNameLength = 1024;

constexpr std::string_view kDataFirmlink = "/System/Volumes/Data";
constexpr std::string_view kTrueWords[] = {"true", "YES", "on", "1"};
constexpr std::string_view kBooleanWords[] = {"true", "false", "YES", "NO", "on", "off", "1", "0"};

}  // namespace

bool isNilOrEmpty(std::optional<std::string_view> string) { return !string || string->empty(); }

bool hasContent(std::optional<std::string_view> string) { return !isNilOrEmpty(string); }

bool isNilOrWhiteSpace(std::optional<std::string_view> string) {
    return !string || allScalars(*string, isWhiteSpaceOrNewline);
}

bool boolValueFor(std::optional<std::string_view> string) {
    if (!string || !isBoolean(*string)) return false;
    for (auto word : kTrueWords)
        if (isCaseInsensitiveEqualToString(*string, word)) return true;
    return false;
}

bool isDecimalDigits(std::string_view string) {
    return !isNilOrWhiteSpace(string) &&
           allScalars(string, [](char32_t c) { return u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER; });
}

bool isHexadecimalCharacters(std::string_view string) {
    if (isNilOrWhiteSpace(string)) return false;
    for (char c : string)
        if (!isHexDigit(c)) return false;
    return true;
}

bool isAlphaNumeric(std::string_view string) {
    return allScalars(string, [](char32_t c) {
        return (U_GET_GC_MASK(static_cast<UChar32>(c)) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
    });
}

bool isBoolean(std::string_view string) {
    if (isNilOrWhiteSpace(string)) return false;
    for (auto word : kBooleanWords)
        if (isCaseInsensitiveEqualToString(string, word)) return true;
    return false;
}

bool isCaseInsensitiveEqualToString(std::string_view string, std::string_view other) {
    const auto a = caselessCanonicalKey(string), b = caselessCanonicalKey(other);
    return a && b && *a == *b;
}

bool isMD5String(std::string_view string) { return string.size() == 32 && isHexadecimalCharacters(string); }

bool hasPrefixCaseInsensitiveSearch(std::string_view string, std::string_view prefix) {
    const auto s = caselessCanonicalKey(string), p = caselessCanonicalKey(prefix);
    // A match that ends inside a composed character (a base letter whose
    // accent follows) is no prefix.
    return s && p && !p->isEmpty() && s->startsWith(*p) && !combinesAt(*s, p->length());
}

bool hasSuffixCaseInsensitiveSearch(std::string_view string, std::string_view suffix) {
    const auto s = caselessCanonicalKey(string), x = caselessCanonicalKey(suffix);
    return s && x && !x->isEmpty() && s->endsWith(*x) && !combinesAt(*s, s->length() - x->length());
}

bool isValidIP4Address(std::string_view string) { return platform::net::parseIPv4Address(string).has_value(); }

bool isPrivateIP4Address(std::string_view string) {
    const auto address = platform::net::parseIPv4Address(string);
    if (!address) return false;
    const std::uint32_t a = *address;
    return (a >> 24) == 10 || (a >> 24) == 127 || (a >> 16) == 0xC0A8 || (a >> 20) == 0xAC1;
}

bool isAllowedServer(std::string_view string) {
    if (utf16Length(string) > kMaxServerNameLength) return false;
    for (char c : string) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                             c == '.' || c == '_' || c == '-';
        if (!allowed) return false;
    }
    for (auto suffix : kAllowedServerSuffixes)
        if (string.ends_with(suffix)) return true;
    return false;
}

std::string valueOrEmptyString(std::optional<std::string_view> string) {
    return string ? std::string(*string) : std::string();
}

std::optional<std::string> formatToUuidWithMD5String(std::optional<std::string_view> string) {
    if (!string || !isMD5String(*string)) return std::nullopt;
    std::string uuid(*string);
    for (std::size_t position : {20, 16, 12, 8}) uuid.insert(position, 1, '-');
    return uuid;
}

std::string stringByAbbreviatingUserDataFirmlinkInPath(std::string_view path) {
    if (path.starts_with(kDataFirmlink)) path.remove_prefix(kDataFirmlink.size());
    return std::string(path);
}

std::string truncatedMaxLength(std::string_view string, std::size_t maxLength) {
    if (utf16Length(string) <= maxLength) return std::string(string);
    if (maxLength == 0) return "";
    std::size_t units = 0, i = 0;
    while (i < string.size()) {
        std::size_t after = i;
        units += utf16Units(next(string, after));
        if (units > maxLength - 1) break;
        i = after;
    }
    return std::string(string.substr(0, i)) + "\u2026";
}

std::uint64_t unsignedLongLongValue(std::string_view string) {
    std::size_t i = 0;
    while (i < string.size()) {
        std::size_t after = i;
        if (!isWhiteSpaceOrNewline(next(string, after))) break;
        i = after;
    }
    std::uint64_t value = 0;
    for (; i < string.size() && string[i] >= '0' && string[i] <= '9'; ++i) {
        const auto digit = static_cast<std::uint64_t>(string[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;  // saturates like strtoull
        value = value * 10 + digit;
    }
    return value;
}

std::string md5(std::string_view string) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(string.data(), string.size(), digest, &size, EVP_md5(), nullptr) != 1) return "";
    return platform::lowercaseHex(std::span<const std::uint8_t>(digest, size));
}

std::string sha256Hash(std::string_view string) { return Base64::sha256Hash(bytesOf(string)); }

std::string sha256HashWithSalt(std::string_view string, const void* salt, std::size_t saltLength) {
    auto text = unicode(string);
    if (!text) return "";
    const std::string lowered = toUTF8(text->toLower(icu::Locale::getRoot()));
    NRVData message;
    if (salt) message.assign(static_cast<const std::uint8_t*>(salt), static_cast<const std::uint8_t*>(salt) + saltLength);
    message.insert(message.end(), lowered.begin(), lowered.end());
    return Base64::sha256Hash(message);
}

std::optional<NRVData> sha256(std::string_view string) {
    if (string.empty()) return std::nullopt;
    NRVData digest(32);
    unsigned int size = 0;
    if (EVP_Digest(string.data(), string.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) return std::nullopt;
    return digest;
}

std::uint64_t nerovaThreatId(std::string_view string) {
    std::uint64_t hash = 1125899906842597ULL;
    for (std::size_t i = 0; i < string.size();) {
        const char32_t c = next(string, i);
        if (c >= 0x10000) {  // hashed as its surrogate pair
            hash = hash * 31 + (0xD800 + ((c - 0x10000) >> 10));
            hash = hash * 31 + (0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            hash = hash * 31 + c;
        }
    }
    return hash;
}

std::string reverse(std::string_view string) {
    const auto unicodeText = unicode(string);
    if (!unicodeText) return "";
    const icu::UnicodeString& text = *unicodeText;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> clusters(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !clusters) return "";
    clusters->setText(text);
    icu::UnicodeString reversed;
    for (int32_t end = clusters->last(), start = clusters->previous(); start != icu::BreakIterator::DONE;
         end = start, start = clusters->previous())
        reversed.append(text, start, end - start);
    return toUTF8(reversed);
}

std::optional<NRVValue> JSONStringToDictionary(std::string_view string, NRVError* error) {
    return NRVValueJSON::parse(string, error);
}

std::optional<std::string> extractSIDGUID(std::string_view string) {
    const std::size_t marker = string.find("SID=");
    if (marker == std::string_view::npos) return std::nullopt;
    const std::size_t start = marker + 4;
    if (string.size() < start + 33 || string[start + 32] != ';') return std::nullopt;
    const std::string_view guid = string.substr(start, 32);
    for (char c : guid)
        if (!isHexDigit(c)) return std::nullopt;
    return std::string(guid);
}

NRVRange indexOf(std::string_view string, std::string_view searchString) {
    const std::size_t found = searchString.empty() ? std::string_view::npos : string.find(searchString);
    if (found == std::string_view::npos) return {NRVNotFound, 0};
    return {utf16Length(string.substr(0, found)), utf16Length(searchString)};
}

std::size_t utf16Length(std::string_view string) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < string.size();) units += utf16Units(next(string, i));
    return units;
}

}  // namespace NSStringExtensions
