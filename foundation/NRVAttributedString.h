// Styled text for a window: runs of text, each with its colour, paragraph
// alignment, font and link. Runs with equal styles merge as they are added.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct NRVColor {
    double red = 0, green = 0, blue = 0, alpha = 1;
    bool operator==(const NRVColor&) const = default;
};

enum class NRVTextAlignment { Left, Center, Right, Justified, Natural };

struct NRVTextAttributes {
    std::optional<NRVColor> foregroundColor;
    std::optional<NRVTextAlignment> alignment;  // the paragraph style
    std::optional<std::string> font;
    std::optional<std::string> link;
    bool operator==(const NRVTextAttributes&) const = default;
};

struct NRVTextRun {
    std::string text;
    NRVTextAttributes attributes;
    bool operator==(const NRVTextRun&) const = default;
};

class NRVAttributedString {
public:
    NRVAttributedString() = default;
    explicit NRVAttributedString(std::string text, NRVTextAttributes attributes = {});

    // What an HTML reader makes of a fragment: tags dropped, white space
    // folded, entities decoded, anchors carried as links; every run gets the
    // reader's default font and paragraph style.
    static NRVAttributedString fromHTML(std::string_view html);

    void append(std::string text, const NRVTextAttributes& attributes = {});
    void append(const NRVAttributedString& other);
    // Takes the paragraph style and font off the whole text.
    void removeParagraphStyleAndFont();

    std::string string() const;
    bool empty() const { return runs_.empty(); }
    const std::vector<NRVTextRun>& runs() const { return runs_; }
    bool operator==(const NRVAttributedString&) const = default;

private:
    std::vector<NRVTextRun> runs_;
};
