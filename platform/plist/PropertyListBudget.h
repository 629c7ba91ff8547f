// What a property list would cost once converted, told from its bytes before
// the list is parsed: the converter copies a binary list's shared
// references every time they are reached, so a few kilobytes can stand for
// billions of nodes. A list over either budget is treated as unreadable.
#pragma once

#include <cstdint>
#include <string>

namespace platform::plist {

struct Budget {
    std::uint64_t maxNodes = 0;
    std::uint64_t maxBytes = 0;  // estimated memory of the converted value
    int maxDepth = 0;
};

// The budget for a list of `size` bytes: the memory grows with the file.
Budget budgetForSize(std::uint64_t size);

// true when the list fits; else false and a reason. Checks only what the
// parser would build; malformed lists are left to the parser.
bool fitsBudget(const std::string& bytes, const Budget& budget, std::string* error = nullptr);

}  // namespace platform::plist
