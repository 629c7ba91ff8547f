#include "foundation/NSAttributedStringExtensions.h"

#include <gtest/gtest.h>

using namespace NSAttributedStringExtensions;

TEST(NSAttributedStringExtensions, RangeOfLink) {
    const std::string text = "See <A HREF=\"https://x.test\">here</a> now";
    struct Case {
        const char* name;
        std::optional<std::string_view> text;
        NRVRange range, expected;
    } cases[] = {
        {"found ignoring case", text, {0, 41}, {4, 33}},
        {"search starts inside", text, {5, 36}, {NRVNotFound, 0}},
        {"range past the end", text, {0, 42}, {NRVNotFound, 0}},
        {"location past the end", text, {50, 0}, {NRVNotFound, 0}},
        {"no closing tag", "a <a href=\"x\">b", {0, 15}, {NRVNotFound, 0}},
        {"nil", std::nullopt, {0, 0}, {NRVNotFound, 0}},
        {"UTF-16 positions", "\U0001F600 <a href=x>y</a>", {0, 18}, {3, 15}},
    };
    for (const auto& c : cases) EXPECT_EQ(rangeOfLink(c.text, c.range), c.expected) << c.name;
}

TEST(NSAttributedStringExtensions, HyperLinks) {
    const NRVAttributedString plain = attributedStringWithHyperLink("no links here");
    ASSERT_EQ(plain.runs().size(), 1u);
    EXPECT_EQ(plain.runs()[0], (NRVTextRun{"no links here", {}}));

    const NRVAttributedString linked =
        attributedStringWithHyperLink("Read <a href=\"https://a.test/?x=1&amp;y=2\">the   guide</a> or <a href='b'>B</a>.");
    EXPECT_EQ(linked.string(), "Read the guide or B.");
    ASSERT_EQ(linked.runs().size(), 5u);
    EXPECT_EQ(linked.runs()[1].text, "the guide");
    EXPECT_EQ(linked.runs()[1].attributes.link, "https://a.test/?x=1&y=2");
    // The link takes the surrounding style: no font or paragraph style of its own.
    EXPECT_FALSE(linked.runs()[1].attributes.font);
    EXPECT_FALSE(linked.runs()[1].attributes.alignment);
    EXPECT_EQ(linked.runs()[3].attributes.link, "b");
    EXPECT_FALSE(linked.runs()[4].attributes.link);

    // An anchor that reads as no text keeps its raw form.
    EXPECT_EQ(attributedStringWithHyperLink("x<a href=\"u\"></a>y").string(), "x<a href=\"u\"></a>y");
    EXPECT_TRUE(attributedStringWithHyperLink(std::nullopt).empty());
    EXPECT_EQ(attributedStringWithHyperLink("open <a href=x>never closed").string(), "open <a href=x>never closed");
}

TEST(NSAttributedStringExtensions, FixedStyles) {
    const NRVAttributedString white = whiteCenterAlignedAttributedStringWithString("Done");
    ASSERT_EQ(white.runs().size(), 1u);
    EXPECT_EQ(white.runs()[0].attributes.foregroundColor, (NRVColor{1, 1, 1, 1}));
    EXPECT_EQ(white.runs()[0].attributes.alignment, NRVTextAlignment::Center);

    const NRVAttributedString blue = blueLeftAlignedAttributedStringWithString("Run");
    ASSERT_EQ(blue.runs().size(), 1u);
    EXPECT_EQ(blue.runs()[0].attributes.foregroundColor, (NRVColor{0.332, 0.593, 0.9567, 1.0}));
    EXPECT_EQ(blue.runs()[0].attributes.alignment, NRVTextAlignment::Left);

    EXPECT_EQ(whiteCenterAlignedAttributedStringWithString("  \n").string(), "");
    EXPECT_EQ(blueLeftAlignedAttributedStringWithString(std::nullopt).string(), "");
}
