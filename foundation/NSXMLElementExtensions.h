// Building and reading XML elements in bulk.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value/NRVValue.h"
#include "foundation/NRVXMLNode.h"

namespace NSXMLElementExtensions {

void addChildren(NRVXMLNode& element, const std::vector<NRVXMLNode>& children);
// One attribute per entry: texts as they are, numbers and booleans by their
// text; other values are skipped. Nothing for nil.
void addAttributesfromDictionary(NRVXMLNode& element, const NRVDictionary* attributes);
// The text of the first child element of that name; nullopt when none.
std::optional<std::string> extractElementByName(const NRVXMLNode& element, std::string_view name);

}  // namespace NSXMLElementExtensions
