#pragma once

#include <memory>
#include <string>

#include "platform/dispatch/OperationQueue.h"

class StatusLogger;

// Writes the status snapshot report "Nerova Wellcheck.log".
class WCKSnapshotWriter : public platform::Operation {
public:
    WCKSnapshotWriter(const std::string& fileOutputFolder, std::shared_ptr<StatusLogger> statusLogger,
                      const std::string& stagingLocation);

    void main() override { performWCKLogsWrite(); }
    void performWCKLogsWrite();

    const std::string& outputFolder() const { return outputFolder_; }

private:
    std::string outputFolder_;
    std::shared_ptr<StatusLogger> statusLogger_;
};
