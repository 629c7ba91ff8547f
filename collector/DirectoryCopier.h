#pragma once

#include <memory>
#include <string>
#include <vector>

#include "collector/Copier.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/fs/FileManager.h"

class StatusLogger;

// Copies whole folders recursively, leaving hidden items out.
//
// Threading: main() (performCopy) runs on the thread of the operation queue
// that starts it and writes to the status logger, which is not thread-safe:
// the queue runs one operation at a time. Accessors are for the thread that
// builds the operation.
class DirectoryCopier : public platform::Operation, public Copier {
public:
    static constexpr int kMaxDepth = 64;

    DirectoryCopier(const std::string& outputFolder, std::string collectionName, std::vector<std::string> sources,
                    std::shared_ptr<StatusLogger> statusLogger, const std::string& stagingLocation);

    void main() override { performCopy(); }
    void performCopy();
    // Real paths: the folder to copy and the folder that receives its items.
    // Every file that fails gets its own failure line; the folder's
    // "Collected" line is given only when everything in it came through.
    // true when it did.
    bool copyDirectory(const std::string& directory, const std::string& destination, int depth = 0);

    const std::string& outputFolder() const { return outputFolder_; }
    const std::string& collectionName() const { return collectionName_; }
    const std::vector<std::string>& sources() const { return sources_; }

private:
    bool copyDirectoryContents(const std::vector<platform::fs::DirectoryEntry>& items, const std::string& destination,
                               int depth);

    std::string outputFolder_;
    std::string stagingLocation_;
    std::string collectionName_;
    std::vector<std::string> sources_;
    std::shared_ptr<StatusLogger> statusLogger_;
};
