#include "foundation/NRVAttributedString.h"

#include <charconv>

namespace {

constexpr const char* kReaderFont = "Times-Roman 12";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(text[i]) != lower(prefix[i])) return false;
    }
    return true;
}

void appendScalar(std::string& out, char32_t c) {
    if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes the entity at html[i] ("&...;"); advances i past it. An unknown
// entity stays as written.
void appendEntity(std::string& out, std::string_view html, std::size_t& i) {
    const std::size_t end = html.find(';', i);
    if (end == std::string_view::npos || end - i > 10) {
        out += html[i++];
        return;
    }
    const std::string_view name = html.substr(i + 1, end - i - 1);
    static constexpr std::pair<std::string_view, char32_t> kNamed[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xA0}};
    for (const auto& [entity, scalar] : kNamed) {
        if (name == entity) {
            appendScalar(out, scalar);
            i = end + 1;
            return;
        }
    }
    if (name.size() > 1 && name[0] == '#') {
        const bool hex = name[1] == 'x' || name[1] == 'X';
        const std::string_view digits = name.substr(hex ? 2 : 1);
        std::uint32_t value = 0;
        const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
        if (result.ec == std::errc() && result.ptr == digits.data() + digits.size()) {
            appendScalar(out, value);
            i = end + 1;
            return;
        }
    }
    out += html[i++];
}

// The value of href="..." (or '...', or bare) inside an opening tag.
std::optional<std::string> hrefOf(std::string_view tag) {
    for (std::size_t at = 0; at + 4 <= tag.size(); ++at) {
        if (!startsWithIgnoringCase(tag.substr(at), "href")) continue;
        std::size_t i = at + 4;
        while (i < tag.size() && isSpace(tag[i])) ++i;
        if (i >= tag.size() || tag[i] != '=') continue;
        ++i;
        while (i < tag.size() && isSpace(tag[i])) ++i;
        if (i >= tag.size()) return std::nullopt;
        const char quote = tag[i] == '"' || tag[i] == '\'' ? tag[i] : '\0';
        const std::size_t start = quote ? i + 1 : i;
        std::size_t end = start;
        while (end < tag.size() && (quote ? tag[end] != quote : !isSpace(tag[end]) && tag[end] != '>')) ++end;
        std::string value;
        for (std::size_t k = start; k < end;) {
            if (tag[k] == '&') appendEntity(value, tag, k);
            else value += tag[k++];
        }
        return value;
    }
    return std::nullopt;
}

}  // namespace

NRVAttributedString::NRVAttributedString(std::string text, NRVTextAttributes attributes) {
    append(std::move(text), attributes);
}

NRVAttributedString NRVAttributedString::fromHTML(std::string_view html) {
    NRVTextAttributes style;
    style.font = kReaderFont;
    style.alignment = NRVTextAlignment::Natural;
    NRVAttributedString result;
    std::string pending;
    bool lastWasSpace = true;  // leading white space is dropped
    const auto flush = [&] {
        result.append(std::move(pending), style);
        pending.clear();
    };
    for (std::size_t i = 0; i < html.size();) {
        const char c = html[i];
        if (c == '<') {
            const std::size_t close = html.find('>', i);
            const std::string_view tag = html.substr(i, close == std::string_view::npos ? html.size() - i : close + 1 - i);
            i += tag.size();
            if (startsWithIgnoringCase(tag, "<a") && tag.size() > 2 && (isSpace(tag[2]) || tag[2] == '>')) {
                flush();
                style.link = hrefOf(tag);
            } else if (startsWithIgnoringCase(tag, "</a") && tag.size() > 3 && (isSpace(tag[3]) || tag[3] == '>')) {
                flush();
                style.link.reset();
            } else if (startsWithIgnoringCase(tag, "<br")) {
                pending += '\n';
                lastWasSpace = true;
            }
            continue;
        }
        if (isSpace(c)) {
            if (!lastWasSpace) pending += ' ';
            lastWasSpace = true;
            ++i;
            continue;
        }
        lastWasSpace = false;
        if (c == '&') {
            appendEntity(pending, html, i);
        } else {
            pending += c;
            ++i;
        }
    }
    flush();
    return result;
}

void NRVAttributedString::append(std::string text, const NRVTextAttributes& attributes) {
    if (text.empty()) return;
    if (!runs_.empty() && runs_.back().attributes == attributes) {
        runs_.back().text += text;
        return;
    }
    runs_.push_back({std::move(text), attributes});
}

void NRVAttributedString::append(const NRVAttributedString& other) {
    for (const auto& run : other.runs_) append(run.text, run.attributes);
}

void NRVAttributedString::removeParagraphStyleAndFont() {
    NRVAttributedString stripped;
    for (auto& run : runs_) {
        run.attributes.alignment.reset();
        run.attributes.font.reset();
        stripped.append(std::move(run.text), run.attributes);
    }
    *this = std::move(stripped);
}

std::string NRVAttributedString::string() const {
    std::string text;
    for (const auto& run : runs_) text += run.text;
    return text;
}
