#pragma once

#include <string>
#include <vector>

// Expands glob patterns; a pattern without pattern characters comes back as
// itself, a pattern without matches contributes nothing. Patterns are read
// under the system root and the matches are given back as product paths.
class WildCardExtractor {
public:
    virtual ~WildCardExtractor() = default;
    std::vector<std::string> retrieveMatchingPaths(const std::string& pattern) const;
};
