// A check to run on a binary property list from another process before
// parsing it. The property-list library parses binary lists recursively and
// copies an object once for every reference to it, so a crafted list of a
// few kilobytes could exhaust the stack or memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::plist {

// true when the bytes are a binary property list whose object graph has no
// cycle, no container nesting deeper than maxDepth (the top object counts as
// one level) and no more than maxValues values once every reference is
// expanded. Walks the graph without recursion; only the structure is
// checked, the values themselves are left to the parser.
bool isBoundedBinaryPropertyList(const std::uint8_t* bytes, std::size_t size, int maxDepth, std::size_t maxValues);

}  // namespace platform::plist
