#include "foundation/NRVXMLNode.h"

namespace {

void appendEscaped(std::string& out, std::string_view text, bool inAttribute) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"':
            if (inAttribute) {
                out += "&quot;";
                break;
            }
            [[fallthrough]];
        default: out += c;
        }
    }
}

}  // namespace

NRVXMLNode NRVXMLNode::element(std::string name, unsigned options) {
    return NRVXMLNode(Kind::Element, std::move(name), {}, options);
}

NRVXMLNode NRVXMLNode::attribute(std::string name, std::string value) {
    return NRVXMLNode(Kind::Attribute, std::move(name), std::move(value), 0);
}

NRVXMLNode NRVXMLNode::text(std::string value) { return NRVXMLNode(Kind::Text, {}, std::move(value), 0); }

std::string NRVXMLNode::stringValue() const {
    if (kind_ != Kind::Element) return value_;
    std::string content;
    for (const auto& child : children_) content += child.stringValue();
    return content;
}

void NRVXMLNode::addChild(NRVXMLNode child) {
    if (kind_ == Kind::Element && child.kind_ != Kind::Attribute) children_.push_back(std::move(child));
}

void NRVXMLNode::addAttribute(NRVXMLNode attribute) {
    if (kind_ != Kind::Element || attribute.kind_ != Kind::Attribute) return;
    for (auto& existing : attributes_) {
        if (existing.name_ == attribute.name_) {
            existing = std::move(attribute);
            return;
        }
    }
    attributes_.push_back(std::move(attribute));
}

const NRVXMLNode* NRVXMLNode::attributeForName(std::string_view name) const {
    for (const auto& attribute : attributes_)
        if (attribute.name_ == name) return &attribute;
    return nullptr;
}

std::vector<const NRVXMLNode*> NRVXMLNode::elementsForName(std::string_view name) const {
    std::vector<const NRVXMLNode*> found;
    for (const auto& child : children_)
        if (child.kind_ == Kind::Element && child.name_ == name) found.push_back(&child);
    return found;
}

std::string NRVXMLNode::XMLString() const {
    std::string out;
    switch (kind_) {
    case Kind::Text: appendEscaped(out, value_, false); return out;
    case Kind::Attribute:
        out = name_ + "=\"";
        appendEscaped(out, value_, true);
        return out + "\"";
    case Kind::Element: break;
    }
    out.append("<").append(name_);
    for (const auto& attribute : attributes_) out.append(" ").append(attribute.XMLString());
    if (children_.empty() && (options_ & kCompactEmptyElement)) return out + "/>";
    out += ">";
    for (const auto& child : children_) out += child.XMLString();
    out.append("</").append(name_).append(">");
    return out;
}
