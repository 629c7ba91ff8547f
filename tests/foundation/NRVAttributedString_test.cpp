#include "foundation/NRVAttributedString.h"

#include <gtest/gtest.h>

TEST(NRVAttributedString, ReadsHTMLFragments) {
    struct Case {
        const char* name;
        const char* html;
        const char* text;
    } cases[] = {
        {"tags dropped, blanks folded", "<b>bold</b>   and\n<i>italic</i>", "bold and italic"},
        {"entities", "a &lt;b&gt; &amp; &quot;c&quot; &#65;&#x42; &bogus; &", "a <b> & \"c\" AB &bogus; &"},
        {"line break", "one<br>two", "one\ntwo"},
        {"not an anchor", "<abbr>x</abbr>", "x"},
    };
    for (const auto& c : cases) EXPECT_EQ(NRVAttributedString::fromHTML(c.html).string(), c.text) << c.name;

    const NRVAttributedString linked = NRVAttributedString::fromHTML("go <a href=\"u\">there</a> now");
    ASSERT_EQ(linked.runs().size(), 3u);
    EXPECT_EQ(linked.runs()[1].attributes.link, "u");
    EXPECT_TRUE(linked.runs()[1].attributes.font);
}

TEST(NRVAttributedString, RunsMergeAndLoseParagraphStyle) {
    NRVTextAttributes red;
    red.foregroundColor = NRVColor{1, 0, 0, 1};
    red.font = "F";
    NRVAttributedString s;
    s.append("a", red);
    s.append("b", red);
    s.append("");
    s.append("c");
    ASSERT_EQ(s.runs().size(), 2u);
    EXPECT_EQ(s.runs()[0].text, "ab");
    s.removeParagraphStyleAndFont();
    EXPECT_FALSE(s.runs()[0].attributes.font);
    EXPECT_EQ(s.runs()[0].attributes.foregroundColor, red.foregroundColor);
}
