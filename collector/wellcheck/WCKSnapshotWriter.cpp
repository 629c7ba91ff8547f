#include "collector/wellcheck/WCKSnapshotWriter.h"

#include "collector/StatusLogger.h"
#include "collector/wellcheck/WCKSnapshotGenerator.h"
#include "platform/fs/FileManager.h"

WCKSnapshotWriter::WCKSnapshotWriter(const std::string& fileOutputFolder, std::shared_ptr<StatusLogger> statusLogger,
                                     const std::string& stagingLocation)
    : outputFolder_(platform::fs::appendingPathComponent(stagingLocation, fileOutputFolder)),
      statusLogger_(std::move(statusLogger)) {}

void WCKSnapshotWriter::performWCKLogsWrite() {
    const std::string target =
        platform::fs::appendingPathComponent(outputFolder_, WCKSnapshotGenerator::wckLogFileName);
    // A report that cannot be written is a warning only; the collection goes on.
    const bool written = WCKSnapshotGenerator::writeSnapshot(target);
    if (!statusLogger_) return;
    if (written)
        statusLogger_->indicateSuccess("Wrote Nerova Wellcheck.log from plists");
    else
        statusLogger_->indicateWarning("Could not generate Nerova Wellcheck.log from plists");
}
