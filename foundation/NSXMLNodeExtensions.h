// Shorthands for making XML nodes.
#pragma once

#include <string>

#include "platform/value/NRVValue.h"
#include "foundation/NRVXMLNode.h"

namespace NSXMLNodeExtensions {

// An element written as one self-closing tag while it has no children.
NRVXMLNode compactElementWithName(std::string name);
// An attribute whose value is the number's text ("1" for true).
NRVXMLNode attributeWithName(std::string name, const NRVValue& numberValue);

}  // namespace NSXMLNodeExtensions
