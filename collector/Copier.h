#pragma once

#include <string>

class StatusLogger;

// Folder creation and the one-file copy shared by the file and folder copiers.
// Paths are real paths; `systemRoot` is the part of a source path that is the
// root the product's paths are read under (its ancestors are not examined).
class Copier {
public:
    virtual ~Copier() = default;

    void createDirectories(const std::string& folder, StatusLogger* statusLogger) const;
    void copyItem(const std::string& source, const std::string& destination, StatusLogger* statusLogger) const;

private:
    static bool allowedSymlink(const std::string& productPath);
    static bool fileURLIsFreeOfSymlinks(const std::string& path);
};
