// The agent-driven program's hand-shake with the management agent's per-user
// service: connect, take the archive name, collect into the temporary folder
// and tell the agent where the archive lies. Uses the run's command line for
// the service name, the interprocess client and the wait for each answer.
//
// Threading: each operation runs on the calling (main) thread and blocks in
// its own group wait. Status handlers, replies and error handlers run on the
// interprocess client's queues; they only write their operation's result cell
// and leave its group. A cell is closed when its wait ends, so that a late
// reply changes nothing the caller may still read.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "Nerova_Diagnostic_Utility/ZEPCommandLine.h"
#include "platform/dispatch/Dispatch.h"

class RemoteZEPSession {
public:
    explicit RemoteZEPSession(ZEPCommandLine commandLine) : commandLine_(std::move(commandLine)) {}

    // true when the service gave a trusted connection within the wait.
    bool connectToAgent(const std::string& serviceName);
    // The name the agent sent within the wait; nullopt when it sent nil,
    // failed, was late or is not trusted.
    std::optional<std::string> requestArchiveName(const std::string& serviceName);
    // One-way notice: the archive "<archiveName>.zip" lies in `finalLocation`.
    void requestUpload(const std::string& archiveName, const std::string& finalLocation);
    // Collects into the temporary folder and, on success, sends the upload
    // notice. Blocks until the collection has finished.
    // false when the run could not start (another collection holds the
    // temporary folder); a failed archive still answers true.
    bool collect(const std::string& archiveName);

    const ZEPCommandLine& commandLine() const { return commandLine_; }
    const std::string& serviceName() const { return commandLine_.serviceName(); }

private:
    NRVXPCClientHelper& client() const;
    // Now plus the command line's wait for an answer.
    platform::dispatch::DispatchTime answerDeadline() const;

    ZEPCommandLine commandLine_;
};
