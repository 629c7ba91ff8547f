#pragma once

#include <memory>
#include <string>

#include "platform/dispatch/OperationQueue.h"

class StatusLogger;

// Writes the status snapshot report "Nerova Wellcheck.log".
//
// Threading: main() runs on the thread of the operation queue that starts
// it and blocks that thread while the snapshot is gathered; it writes to the
// status logger, which is not thread-safe, so the queue runs one operation
// at a time. Accessors are for the thread that builds the operation.
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
