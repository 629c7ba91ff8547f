// The one crossing between the system's UTF-8 texts and ICU's UTF-16
// strings. ICU counts in signed 32 bits, so texts too long for that are
// refused here (nullopt) rather than cut or wrapped by each caller.
#pragma once

#include <unicode/unistr.h>

#include <climits>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform::text {

// Every UTF-8 byte can become one UTF-16 unit; half of ICU's range leaves
// room for the work copies of case folding and normalisation.
constexpr std::size_t kMaxUnicodeText = INT32_MAX / 2;

// Malformed UTF-8 becomes U+FFFD, as ICU reads it.
std::optional<icu::UnicodeString> unicodeFromUTF8(std::string_view text);
std::string utf8FromUnicode(const icu::UnicodeString& text);
// The text itself when it is well-formed UTF-8; otherwise a copy in which
// every malformed sequence is U+FFFD, as unicodeFromUTF8 reads it. For
// writers that would otherwise alter such bytes in their own way.
std::string wellFormedUTF8(std::string_view text);
// The units [start, start + length) of the text.
std::string utf8FromUnicode(const icu::UnicodeString& text, std::size_t start, std::size_t length);

// The key under which texts compare equal ignoring case and canonical
// equivalence: a composed and a decomposed spelling of one name give the
// same key (NFD of the case fold of NFD).
std::optional<icu::UnicodeString> caselessCanonicalKey(std::string_view text);
// Whether the canonical key `key` (from caselessCanonicalKey) has a character
// that combines with what precedes it at `index`, so that a match ending
// there would split a composed character.
bool combinesAt(const icu::UnicodeString& key, int32_t index);

}  // namespace platform::text

namespace platform::text {

// Whether two texts are equal up to canonical equivalence (a composed and a
// decomposed spelling of one character are equal; letter case counts).
bool canonicallyEqual(std::string_view a, std::string_view b);

}  // namespace platform::text
