#include "platform/text/UTF8Bridge.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace platform::text {

std::optional<icu::UnicodeString> unicodeFromUTF8(std::string_view text) {
    if (text.size() > kMaxUnicodeText) return std::nullopt;
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string wellFormedUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::int64_t length = static_cast<std::int64_t>(text.size());
    auto firstMalformed = [&](std::int64_t from) {
        for (std::int64_t i = from; i < length;) {
            const std::int64_t start = i;
            UChar32 c = 0;
            U8_NEXT(bytes, i, length, c);
            if (c < 0) return start;
        }
        return length;
    };
    std::int64_t bad = firstMalformed(0);
    if (bad == length) return std::string(text);
    std::string out(text.substr(0, static_cast<std::size_t>(bad)));
    for (std::int64_t i = bad; i < length;) {
        const std::int64_t start = i;
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c < 0)
            out += "\xEF\xBF\xBD";
        else
            out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
    return out;
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
