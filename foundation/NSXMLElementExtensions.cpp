#include "foundation/NSXMLElementExtensions.h"

#include "foundation/NSArrayExtensions.h"

namespace NSXMLElementExtensions {

void addChildren(NRVXMLNode& element, const std::vector<NRVXMLNode>& children) {
    for (const auto& child : children) element.addChild(child);
}

void addAttributesfromDictionary(NRVXMLNode& element, const NRVDictionary* attributes) {
    if (!attributes) return;
    for (std::size_t i = 0; i < attributes->size(); ++i) {
        const NRVValue& value = attributes->valueAt(i);
        if (const auto* text = value.asString()) {
            element.addAttribute(NRVXMLNode::attribute(attributes->keyAt(i), *text));
        } else if (value.isNumber() || value.isBool()) {
            element.addAttribute(NRVXMLNode::attribute(attributes->keyAt(i), NSArrayExtensions::description(value)));
        }
    }
}

std::optional<std::string> extractElementByName(const NRVXMLNode& element, std::string_view name) {
    const auto found = element.elementsForName(name);
    if (found.empty()) return std::nullopt;
    return found.front()->stringValue();
}

}  // namespace NSXMLElementExtensions
