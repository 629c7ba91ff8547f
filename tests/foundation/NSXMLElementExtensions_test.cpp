#include "foundation/NSXMLElementExtensions.h"

#include <gtest/gtest.h>

#include "foundation/NSXMLNodeExtensions.h"

using namespace NSXMLElementExtensions;

TEST(NSXMLElementExtensions, BuildsAndReads) {
    NRVXMLNode root = NSXMLNodeExtensions::compactElementWithName("config");
    EXPECT_EQ(root.XMLString(), "<config/>");

    NRVXMLNode first = NRVXMLNode::element("name");
    first.addChild(NRVXMLNode::text("alpha"));
    NRVXMLNode second = NRVXMLNode::element("name");
    second.addChild(NRVXMLNode::text("beta"));
    addChildren(root, {first, second, NSXMLNodeExtensions::compactElementWithName("flag")});
    EXPECT_EQ(root.XMLString(), "<config><name>alpha</name><name>beta</name><flag/></config>");
    EXPECT_EQ(extractElementByName(root, "name"), "alpha");
    EXPECT_EQ(extractElementByName(root, "flag"), "");
    EXPECT_FALSE(extractElementByName(root, "missing"));
}

TEST(NSXMLElementExtensions, AttributesFromDictionary) {
    NRVDictionary attributes;
    attributes.set("id", "x1");
    attributes.set("count", 3);
    attributes.set("ratio", 0.5);
    attributes.set("on", true);
    attributes.set("blob", NRVData{1});
    attributes.set("list", NRVArray{1});
    NRVXMLNode e = NRVXMLNode::element("e");
    addAttributesfromDictionary(e, &attributes);
    addAttributesfromDictionary(e, nullptr);
    EXPECT_EQ(e.XMLString(), "<e id=\"x1\" count=\"3\" ratio=\"0.5\" on=\"1\"></e>");

    EXPECT_EQ(NSXMLNodeExtensions::attributeWithName("n", NRVValue(42)).XMLString(), "n=\"42\"");
}
