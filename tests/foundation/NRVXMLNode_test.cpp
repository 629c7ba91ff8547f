#include "foundation/NRVXMLNode.h"

#include <gtest/gtest.h>

TEST(NRVXMLNode, WritesTreesWithEscaping) {
    NRVXMLNode root = NRVXMLNode::element("root");
    root.addAttribute(NRVXMLNode::attribute("q", "a\"b&c"));
    NRVXMLNode child = NRVXMLNode::element("item", NRVXMLNode::kCompactEmptyElement);
    root.addChild(child);
    NRVXMLNode text = NRVXMLNode::element("t");
    text.addChild(NRVXMLNode::text("1 < 2 & 3"));
    root.addChild(text);
    root.addChild(NRVXMLNode::element("empty"));
    root.addChild(NRVXMLNode::attribute("ignored", "x"));  // attributes are no children
    EXPECT_EQ(root.XMLString(),
              "<root q=\"a&quot;b&amp;c\"><item/><t>1 &lt; 2 &amp; 3</t><empty></empty></root>");
    EXPECT_EQ(root.stringValue(), "1 < 2 & 3");
}

TEST(NRVXMLNode, AttributesReplaceByName) {
    NRVXMLNode e = NRVXMLNode::element("e");
    e.addAttribute(NRVXMLNode::attribute("a", "1"));
    e.addAttribute(NRVXMLNode::attribute("b", "2"));
    e.addAttribute(NRVXMLNode::attribute("a", "3"));
    ASSERT_EQ(e.attributes().size(), 2u);
    EXPECT_EQ(e.attributeForName("a")->stringValue(), "3");
    EXPECT_EQ(e.attributeForName("c"), nullptr);
    NRVXMLNode text = NRVXMLNode::text("t");
    text.addAttribute(NRVXMLNode::attribute("a", "1"));  // only elements hold attributes
    EXPECT_TRUE(text.attributes().empty());
}
