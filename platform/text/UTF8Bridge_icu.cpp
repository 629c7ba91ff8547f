#include "platform/text/UTF8Bridge.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>

namespace platform::text {

std::optional<icu::UnicodeString> unicodeFromUTF8(std::string_view text) {
    if (text.size() > kMaxUnicodeText) return std::nullopt;
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string utf8FromUnicode(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::string utf8FromUnicode(const icu::UnicodeString& text, std::size_t start, std::size_t length) {
    std::string out;
    icu::UnicodeString(text, static_cast<int32_t>(start), static_cast<int32_t>(length)).toUTF8String(out);
    return out;
}

std::optional<icu::UnicodeString> caselessCanonicalKey(std::string_view text) {
    auto s = unicodeFromUTF8(text);
    if (!s) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) return std::nullopt;
    icu::UnicodeString decomposed = nfd->normalize(*s, status);
    decomposed.foldCase(U_FOLD_CASE_DEFAULT);
    icu::UnicodeString key = nfd->normalize(decomposed, status);
    if (U_FAILURE(status)) return std::nullopt;
    return key;
}

bool combinesAt(const icu::UnicodeString& key, int32_t index) {
    if (index <= 0 || index >= key.length()) return false;
    return u_getCombiningClass(key.char32At(index)) != 0;
}

}  // namespace platform::text

namespace platform::text {

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    auto ua = unicodeFromUTF8(a);
    auto ub = unicodeFromUTF8(b);
    if (!ua || !ub) return false;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) return false;
    icu::UnicodeString na = nfd->normalize(*ua, status);
    icu::UnicodeString nb = nfd->normalize(*ub, status);
    return U_SUCCESS(status) && na == nb;
}

}  // namespace platform::text
