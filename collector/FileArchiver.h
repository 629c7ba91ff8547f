#pragma once

#include <memory>
#include <string>

class StatusLogger;

// Packs the staging folder into "<archive name>.zip" in the final location.
class FileArchiver {
public:
    FileArchiver(std::shared_ptr<StatusLogger> statusLogger, std::string stagingLocation, std::string finalLocation,
                 std::string archiveName, std::string zipLaunchPath);

    // true when zip ran and exited with status 0.
    bool archiveFile();

private:
    std::shared_ptr<StatusLogger> statusLogger_;
    std::string stagingLocation_;
    std::string finalLocation_;
    std::string archiveName_;
    std::string zipLaunchPath_;
};
