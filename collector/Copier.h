#pragma once

#include <string>

class StatusLogger;

// Folder creation and the one-file copy shared by the file and folder
// copiers. Paths here are real paths (already resolved under the system root).
class Copier {
public:
    virtual ~Copier() = default;

    // true when the folder exists afterwards.
    bool createDirectories(const std::string& folder, StatusLogger* statusLogger) const;
    // true when the file came through (or was left out on purpose, as
    // ".DS_Store" is). The source is opened one component at a time without
    // following links, so the path checked is the file copied. The success
    // line is given only when `reportSuccess` is set; failures always go to
    // the logger when there is one.
    bool copyItem(const std::string& source, const std::string& destination, StatusLogger* statusLogger,
                  bool reportSuccess = true) const;

    // false for the three system links "/var", "/tmp" and "/etc" (product paths).
    static bool allowedSymlink(const std::string& productPath);
    // Walks from the path up to "/" (or up to the system root, which is
    // trusted): a symbolic link on the way, other than the system links, fails.
    static bool fileURLIsFreeOfSymlinks(const std::string& path);
};
