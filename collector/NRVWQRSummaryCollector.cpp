#include "collector/NRVWQRSummaryCollector.h"

#include "collector/NRVRootPrivilegeServiceCall.h"
#include "collector/StatusLogger.h"
#include "foundation/NerovaLogger.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/fs/FileManager.h"

void NRVWQRSummaryCollector::collectSummaryIntoStagingLocation(const std::string& stagingLocation,
                                                               const std::shared_ptr<StatusLogger>& statusLogger) {
    const NRVLogHandle& log = NerovaLogger::zep();
    // Not created here: the service writes it.
    const std::string target = platform::fs::appendingPathComponent(stagingLocation, kSummaryFolderName);

    NRVRootPrivilegeServiceCall service(xpcClientHelper_);
    // A collection that is being stopped reports nothing of a step it cut short.
    const auto stopping = [] { return platform::dispatch::WaitInterruption::requestedOnCurrentThread(); };
    if (!service.connect()) {
        if (stopping()) return;
        log.error("Unable to establish XPC Connection to Nerova ServiceManager for WQR summary");
        statusLogger->indicateWarning("ZEP Status: WQR activity summary skipped (XPC connection failed)");
        return;
    }

    const auto answer =
        service.call("runWQRSummarization:withReply:", target, "Failed to retrieve remote proxy for WQR summary: ");
    if (stopping()) return;
    if (answer.timedOut) {
        log.error("Timeout waiting for WQR activity summary to complete");
        statusLogger->indicateFailure("ZEP Status: WQR activity summary timed out");
    } else if (answer.value) {
        statusLogger->indicateSuccess("ZEP Status: WQR activity summary collected.");
    } else {
        statusLogger->indicateWarning("ZEP Status: No NerovaDataRecorder data found for activity summary");
    }
}
