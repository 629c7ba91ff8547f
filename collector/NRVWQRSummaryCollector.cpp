#include "collector/NRVWQRSummaryCollector.h"

#include "collector/NRVRootPrivilegeServiceProtocol.h"
#include "collector/StatusLogger.h"
#include "foundation/NRVDispatchExtensions.h"
#include "foundation/NRVReplyCell.h"
#include "foundation/NerovaLogger.h"
#include "ipc/NRVXPCClientHelper.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/fs/FileManager.h"

using platform::dispatch::DispatchGroup;

void NRVWQRSummaryCollector::collectSummaryIntoStagingLocation(const std::string& stagingLocation,
                                                               const std::shared_ptr<StatusLogger>& statusLogger) {
    const NRVLogHandle& log = NerovaLogger::zep();
    // Not created here: the service writes it.
    const std::string target = platform::fs::appendingPathComponent(stagingLocation, kSummaryFolderName);

    std::shared_ptr<NRVXPCClientHelper> client = xpcClientHelper_ ? xpcClientHelper_ : std::make_shared<NRVXPCClientHelper>();
    if (client->connectAndWaitForFirstConnectionForService(NRVRootPrivilegeService::kServiceName,
                                                           NRVRootPrivilegeService::NRVRootPrivilegeServiceProtocol(),
                                                           NRVRootPrivilegeService::kConnectTimeoutSeconds) != 0) {
        log.error("Unable to establish XPC Connection to Nerova ServiceManager for WQR summary");
        statusLogger->indicateWarning("ZEP Status: WQR activity summary skipped (XPC connection failed)");
        if (!xpcClientHelper_) client->disconnectService(NRVRootPrivilegeService::kServiceName);
        return;
    }

    auto answer = std::make_shared<NRVReplyCell<bool>>();
    auto group = DispatchGroup::create();
    dispatch_group_safe_enter(group);
    NRVXPCProxy proxy = client->remoteObjectProxyForService(
        NRVRootPrivilegeService::kServiceName, [group](const std::string& message) {
            NerovaLogger::zep().error("Failed to retrieve remote proxy for WQR summary: " + message);
            dispatch_group_safe_leave(group);
        });
    if (proxy) {
        proxy->call("runWQRSummarization:withReply:", {platform::xpc::Value(target)},
                    [answer, group](const platform::xpc::Values& reply) {
                        const bool* written = reply.empty() ? nullptr : reply[0].asBool();
                        answer->set(written && *written);
                        dispatch_group_safe_leave(group);
                    });
    } else {
        // No proxy and so no call: nothing will ever answer.
        dispatch_group_safe_leave(group);
    }

    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(NRVRootPrivilegeService::replyTimeout());
    const bool timedOut = dispatch_group_safe_wait(group, platform::dispatch::dispatchTime(
                                                              platform::dispatch::DISPATCH_TIME_NOW, wait.count())) != 0;
    const bool written = answer->close();
    if (timedOut) {
        log.error("Timeout waiting for WQR activity summary to complete");
        statusLogger->indicateFailure("ZEP Status: WQR activity summary timed out");
    } else if (written) {
        statusLogger->indicateSuccess("ZEP Status: WQR activity summary collected.");
    } else {
        statusLogger->indicateWarning("ZEP Status: No NerovaDataRecorder data found for activity summary");
    }
    if (!xpcClientHelper_) client->disconnectService(NRVRootPrivilegeService::kServiceName);
}
