#include "foundation/NSAttributedStringExtensions.h"

#include "platform/text/UTF8Bridge.h"

namespace NSAttributedStringExtensions {

namespace {

constexpr NRVColor kWhite{1.0, 1.0, 1.0, 1.0};
constexpr NRVColor kProductBlue{0.332, 0.593, 0.9567, 1.0};

// Callers refuse texts the bridge refuses (tooLong) before converting.
icu::UnicodeString unicode(std::string_view text) { return platform::text::unicodeFromUTF8(text).value_or(icu::UnicodeString()); }

std::string utf8(const icu::UnicodeString& text, std::size_t start, std::size_t length) {
    return platform::text::utf8FromUnicode(text, start, length);
}

// The markers are ASCII, and no other character folds to one of their
// letters, so an ASCII comparison ignoring case is exact here.
std::size_t find(const icu::UnicodeString& text, std::u16string_view marker, std::size_t from, std::size_t to) {
    const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
    for (std::size_t at = from; at + marker.size() <= to; ++at) {
        std::size_t k = 0;
        while (k < marker.size() && lower(text.charAt(static_cast<int32_t>(at + k))) == marker[k]) ++k;
        if (k == marker.size()) return at;
    }
    return NRVNotFound;
}

NRVRange linkIn(const icu::UnicodeString& text, NRVRange range) {
    const auto length = static_cast<std::size_t>(text.length());
    if (range.location > length || range.length > length - range.location) return {NRVNotFound, 0};
    const std::size_t open = find(text, u"<a href", range.location, range.location + range.length);
    if (open == NRVNotFound) return {NRVNotFound, 0};
    const std::size_t close = find(text, u"</a>", open, length);
    if (close == NRVNotFound) return {NRVNotFound, 0};
    return {open, close + 4 - open};
}

NRVAttributedString styled(std::optional<std::string_view> text, NRVColor color, NRVTextAlignment alignment) {
    NRVTextAttributes attributes;
    attributes.foregroundColor = color;
    attributes.alignment = alignment;
    const bool blank = NSStringExtensions::isNilOrWhiteSpace(text);
    return NRVAttributedString(blank ? std::string() : std::string(*text), attributes);
}

// ICU strings count in 32 bits; longer texts are taken as they are.
bool tooLong(std::string_view text) { return text.size() > platform::text::kMaxUnicodeText; }

}  // namespace

NRVRange rangeOfLink(std::optional<std::string_view> text, NRVRange range) {
    if (!text || tooLong(*text)) return {NRVNotFound, 0};
    return linkIn(unicode(*text), range);
}

NRVAttributedString attributedStringWithHyperLink(std::optional<std::string_view> text) {
    NRVAttributedString result;
    if (!text) return result;
    if (tooLong(*text)) return NRVAttributedString(std::string(*text));
    const icu::UnicodeString whole = unicode(*text);
    const auto length = static_cast<std::size_t>(whole.length());
    std::size_t position = 0;
    while (position < length) {
        const NRVRange link = linkIn(whole, {position, length - position});
        if (link.location == NRVNotFound) {
            result.append(utf8(whole, position, length - position));
            break;
        }
        result.append(utf8(whole, position, link.location - position));
        const std::string raw = utf8(whole, link.location, link.length);
        NRVAttributedString anchor = NRVAttributedString::fromHTML(raw);
        if (anchor.empty()) {
            result.append(raw);
        } else {
            anchor.removeParagraphStyleAndFont();
            result.append(anchor);
        }
        position = link.location + link.length;
    }
    return result;
}

NRVAttributedString whiteCenterAlignedAttributedStringWithString(std::optional<std::string_view> text) {
    return styled(text, kWhite, NRVTextAlignment::Center);
}

NRVAttributedString blueLeftAlignedAttributedStringWithString(std::optional<std::string_view> text) {
    return styled(text, kProductBlue, NRVTextAlignment::Left);
}

}  // namespace NSAttributedStringExtensions
