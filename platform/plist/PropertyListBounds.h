// The one check every reader runs on a property list from another process
// or a file before parsing it. The property-list library parses binary lists
// recursively, copies an object once for every reference to it and asserts
// (ending the process) on a dictionary key with a NUL character, so a
// crafted list of a few kilobytes could crash the reader or exhaust memory.
// The same limits hold for every caller; only the memory allowance grows
// with the list's size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error/Error.h"

namespace platform::plist {

struct Bounds {
    std::uint64_t maxNodes = 0;  // values once every shared reference is expanded
    std::uint64_t maxBytes = 0;  // estimated memory of the converted value
    int maxDepth = 0;            // levels below the top object
};

// The bounds of a list of `size` bytes.
Bounds boundsForSize(std::uint64_t size);

// true when the bytes are a property list, binary or XML, within the bounds
// for their size; else false and the reason in `description`. A binary list must also be well
// formed enough to walk: offsets and references inside the list, no cycle,
// dictionary keys strings without NUL characters. Walks without recursion;
// the values themselves are left to the parser.
bool isBoundedPropertyList(const std::uint8_t* bytes, std::size_t size, platform::Error* error = nullptr);

// The same for a caller that takes binary lists only.
bool isBoundedBinaryPropertyList(const std::uint8_t* bytes, std::size_t size, platform::Error* error = nullptr);

}  // namespace platform::plist
