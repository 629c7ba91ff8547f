#include "collector/WildCardExtractor.h"

#include "platform/fs/FileManager.h"

std::vector<std::string> WildCardExtractor::retrieveMatchingPaths(const std::string& pattern) const {
    return platform::fs::glob(pattern);
}
