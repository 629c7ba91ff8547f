#include "agent-tool/RemoteZEPSession.h"

#include <atomic>
#include <memory>

#include "agent-tool/NRVRemoteZEPProtocol.h"
#include "collector/CollectionLock.h"
#include "collector/NerovaDiagnosticsWrapper.h"
#include "collector/StatusLogger.h"
#include "collector/ZEP.h"
#include "foundation/NRVDispatchExtensions.h"
#include "foundation/NRVReplyCell.h"
#include "ipc/xpc/NRVNerovaXPCBroker.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "ipc/trust/NRVXPCPeerTrust.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/fs/FileManager.h"
#include "platform/system/SystemEnvironment.h"
#include "platform/xpc/XPCPeer.h"

using platform::dispatch::DispatchGroup;
using platform::dispatch::DISPATCH_TIME_FOREVER;
using platform::dispatch::DISPATCH_TIME_NOW;
using platform::dispatch::dispatchTime;

namespace {

constexpr const char* kDiagnosticsTag = "remote zep";
// Stands for the service in the line of a failed upload notice.
constexpr const char* kUploadServiceLabel = "com.nerova.upload.zep";

platform::dispatch::DispatchTime deadlineAfter(ZEPCommandLine::DispatchTimeInterval interval) {
    return dispatchTime(DISPATCH_TIME_NOW, static_cast<std::int64_t>(interval.count()));
}

// The agent is told where the archive lies and names a folder that is
// emptied: only a process signed by the maker may be that agent.
bool isTrustedAgent(const NRVXPCProxy& proxy) {
    return proxy && NRVXPCPeerTrust::isNerovaSignTypeForConnection(proxy->connection());
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

NRVXPCClientHelper& RemoteZEPSession::client() const { return *commandLine_.xpcAgentClientHelper(); }

platform::dispatch::DispatchTime RemoteZEPSession::answerDeadline() const {
    return deadlineAfter(commandLine_.xpcTimeoutInterval());
}

bool RemoteZEPSession::connectToAgent(const std::string& serviceName) {
    auto group = DispatchGroup::create();
    dispatch_group_safe_enter(group);
    auto connected = std::make_shared<NRVReplyCell<bool>>();
    auto refused = std::make_shared<NRVReplyCell<bool>>();

    client().connectService(
        serviceName, NRVRemoteZEPProtocol(), [group, connected, refused, serviceName](NRVXPCProxy proxy) {
            if (!proxy) return;
            if (!isTrustedAgent(proxy)) {
                // Counts as no connection; an untrusted peer does not become
                // trusted by waiting for it.
                NerovaDiagnostics(kDiagnosticsTag, "Refused %@: its signature failed the check.", serviceName);
                refused->set(true);
                dispatch_group_safe_leave(group);
                return;
            }
            NerovaDiagnostics(kDiagnosticsTag, "Connected to %@.", serviceName);
            connected->set(true);
            dispatch_group_safe_leave(group);
        });

    // Services are reached through the broker: without its socket nothing can
    // answer, and waiting out the limit would only delay the agent.
    long timedOut = 1;
    if (platform::xpc::serviceSocketExists(NRVNerovaXPCBroker::kBrokerServiceName))
        timedOut = dispatch_group_safe_wait(group, answerDeadline());
    const bool isConnected = connected->close();
    const bool wasRefused = refused->close();
    if (!isConnected) {
        NerovaDiagnostics(kDiagnosticsTag, "Error from XPC connection to %@: Connection was lost", serviceName);
        if (timedOut != 0 || wasRefused)
            NerovaDiagnostics(kDiagnosticsTag, "Error from XPC connection to %@: Connection was not established",
                              serviceName);
    }
    return isConnected;
}

std::optional<std::string> RemoteZEPSession::requestArchiveName(const std::string& serviceName) {
    auto name = std::make_shared<NRVReplyCell<std::optional<std::string>>>();
    auto group = DispatchGroup::create();
    dispatch_group_safe_enter(group);

    // Once the wait is over, an error of the abandoned call (the connection
    // closed as the program ends) is as late as a late reply: not told.
    auto waiting = std::make_shared<std::atomic<bool>>(true);
    NRVXPCProxy proxy = client().remoteObjectProxyForService(
        serviceName, [group, serviceName, waiting](const std::string& error) {
            if (!waiting->load()) return;
            NerovaDiagnostics(kDiagnosticsTag, "Error making XPC connection to %@: %@", serviceName, error);
            dispatch_group_safe_leave(group);
        });
    if (!isTrustedAgent(proxy)) {
        NerovaDiagnostics(kDiagnosticsTag, "Error making proxy session to %@.", serviceName);
        dispatch_group_safe_leave(group);
        return name->close();
    }

    proxy->call("requestArchiveName:", {}, [group, name](const platform::xpc::Values& reply) {
        const std::string* text = reply.empty() ? nullptr : reply[0].asString();
        name->set(text ? std::optional<std::string>(*text) : std::nullopt);
        dispatch_group_safe_leave(group);
    });

    const bool timedOut = dispatch_group_safe_wait(group, answerDeadline()) != 0;
    waiting->store(false);
    if (timedOut) NerovaDiagnostics(kDiagnosticsTag, "Error XPC connection to %@: timed out", serviceName);
    return name->close();
}

void RemoteZEPSession::requestUpload(const std::string& archiveName, const std::string& finalLocation) {
    const std::string service = commandLine_.serviceName();

    NRVXPCProxy proxy = client().remoteObjectProxyForService(service, [service](const std::string& error) {
        NerovaDiagnostics(kDiagnosticsTag, "Error making XPC connection to %@: %@", service, error);
    });
    if (!isTrustedAgent(proxy)) {
        NerovaDiagnostics(kDiagnosticsTag, "Error making proxy session to %@.", kUploadServiceLabel);
        return;
    }
    // One-way: nothing waits for the agent.
    proxy->send("requestArchiveUpload:at:", {platform::xpc::Value(archiveName), platform::xpc::Value(finalLocation)});
}

bool RemoteZEPSession::collect(const std::string& archiveName) {
    const std::string temporaryFolder = platform::temporaryDirectory();
    // Held until the run has ended: a second run touches nothing of this one.
    auto lock = CollectionLock::acquire(temporaryFolder);
    if (const auto* refusal = std::get_if<CollectionLockError>(&lock)) {
        NerovaDiagnostics(kDiagnosticsTag, "%@", refusal->message());
        return false;
    }

    auto group = DispatchGroup::create();
    dispatch_group_safe_enter(group);

    const std::string stagingLocation = platform::fs::appendingPathComponent(temporaryFolder, archiveName);
    const std::string finalLocation = withoutTrailingSlashes(temporaryFolder);
    const std::string collectionLogURL =
        platform::fs::appendingPathComponent(temporaryFolder, StatusLogger::defaultFileName);
    auto statusLogger = std::make_shared<StatusLogger>(collectionLogURL);
    ZEP zep(statusLogger, stagingLocation, finalLocation, archiveName);

    NerovaDiagnostics(kDiagnosticsTag, "Preparing ZEP Collection.");
    zep.processOperationsFile();
    zep.prepareAsync([](const std::string& /*collectionString*/) {
        NerovaDiagnostics(kDiagnosticsTag, "Running ZEP Collection.");
    });
    zep.runAsync([this, group, &zep](const std::string& name, const std::string& folder, bool success) {
        if (success) {
            NerovaDiagnostics(kDiagnosticsTag, "%@.zip archive created.", name);
            requestUpload(name, folder);
        } else {
            NerovaDiagnostics(kDiagnosticsTag, "Archive creation failed for %@.", name);
        }
        zep.clearStagingArea();
        dispatch_group_safe_leave(group);
    });

    dispatch_group_safe_wait(group, DISPATCH_TIME_FOREVER);
    return true;
}
