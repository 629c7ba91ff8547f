#pragma once

#include <string>
#include <vector>

// Expands a glob pattern over real paths, in sorted order. A pattern without
// pattern characters comes back as itself whether or not it exists; a
// pattern without matches, or a failing expansion, gives nothing.
class WildCardExtractor {
public:
    virtual ~WildCardExtractor() = default;
    std::vector<std::string> retrieveMatchingPaths(const std::string& pattern) const;
};
