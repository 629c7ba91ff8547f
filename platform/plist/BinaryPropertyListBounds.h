// A check to run on a binary property list from another process or a file
// before parsing it. The property-list library parses binary lists
// recursively, copies an object once for every reference to it and asserts
// (ending the process) on a dictionary key with a NUL character, so a
// crafted list of a few kilobytes could crash the reader or exhaust memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::plist {

// true when the bytes are a binary property list whose dictionary keys are
// strings without NUL characters and whose object graph has no cycle, no container nesting deeper than maxDepth (the top object counts as
// one level) and no more than maxValues values once every reference is
// expanded. Walks the graph without recursion; only the structure is
// checked, the values themselves are left to the parser.
bool isBoundedBinaryPropertyList(const std::uint8_t* bytes, std::size_t size, int maxDepth, std::size_t maxValues);

}  // namespace platform::plist
