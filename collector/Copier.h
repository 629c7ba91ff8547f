#pragma once

#include <string>

class StatusLogger;

// Folder creation and the one-file copy shared by the file and folder
// copiers. Paths here are real paths (already resolved under the system root).
class Copier {
public:
    virtual ~Copier() = default;

    void createDirectories(const std::string& folder, StatusLogger* statusLogger) const;
    void copyItem(const std::string& source, const std::string& destination, StatusLogger* statusLogger) const;

    // false for the three system links "/var", "/tmp" and "/etc" (product paths).
    static bool allowedSymlink(const std::string& productPath);
    // Walks from the path up to "/" (or up to the system root, which is
    // trusted): a symbolic link on the way, other than the system links, fails.
    static bool fileURLIsFreeOfSymlinks(const std::string& path);
};
