#include "foundation/NSXMLNodeExtensions.h"

#include "foundation/NSArrayExtensions.h"

namespace NSXMLNodeExtensions {

NRVXMLNode compactElementWithName(std::string name) {
    return NRVXMLNode::element(std::move(name), NRVXMLNode::kCompactEmptyElement);
}

NRVXMLNode attributeWithName(std::string name, const NRVValue& numberValue) {
    return NRVXMLNode::attribute(std::move(name), NSArrayExtensions::description(numberValue));
}

}  // namespace NSXMLNodeExtensions
