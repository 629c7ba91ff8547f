// A small XML tree: elements with attributes and children, attribute nodes
// and text nodes, written out as XML text. Nodes are values; adding a node
// to an element copies it in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class NRVXMLNode {
public:
    enum class Kind { Element, Attribute, Text };
    // An element without children is written as one self-closing tag.
    static constexpr unsigned kCompactEmptyElement = 1u << 2;

    static NRVXMLNode element(std::string name, unsigned options = 0);
    static NRVXMLNode attribute(std::string name, std::string value);
    static NRVXMLNode text(std::string value);

    Kind kind() const { return kind_; }
    const std::string& name() const { return name_; }
    unsigned options() const { return options_; }
    // An attribute's or text's value; an element's text content.
    std::string stringValue() const;

    // Elements only: text and element children; other nodes are ignored.
    void addChild(NRVXMLNode child);
    // Elements only: replaces an attribute of the same name.
    void addAttribute(NRVXMLNode attribute);
    const std::vector<NRVXMLNode>& children() const { return children_; }
    const std::vector<NRVXMLNode>& attributes() const { return attributes_; }
    const NRVXMLNode* attributeForName(std::string_view name) const;
    // Child elements of that name, in document order.
    std::vector<const NRVXMLNode*> elementsForName(std::string_view name) const;

    std::string XMLString() const;

private:
    NRVXMLNode(Kind kind, std::string name, std::string value, unsigned options)
        : kind_(kind), name_(std::move(name)), value_(std::move(value)), options_(options) {}

    Kind kind_;
    std::string name_;
    std::string value_;
    unsigned options_ = 0;
    std::vector<NRVXMLNode> children_;
    std::vector<NRVXMLNode> attributes_;
};
