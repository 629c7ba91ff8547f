// nerovadiagnosticutility: started by the management agent for a logged-in
// user. Connects back to the agent's per-user service, takes the archive name
// from it, collects into the temporary folder and tells the agent where the
// archive lies. Prints nothing; the exit status tells the agent whether the
// hand-shake worked. Command-line arguments are not read.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "platform/process/CodeIntegrity.h"
#include "Nerova_Diagnostic_Utility/ZEPCommandLine.h"
#include "agent-tool/RemoteZEPArchiveName.h"
#include "agent-tool/RemoteZEPSession.h"
#include "collector/NerovaDiagnosticsWrapper.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "platform/signal/TerminationSignals.h"
#include "platform/system/SystemEnvironment.h"

namespace {

constexpr const char* kDiagnosticsTag = "remote zep";
constexpr std::chrono::seconds kAgentTimeout{30};
// For unit tests, which run the program as a process: a shorter wait for the
// agent in milliseconds. Only shorter: whoever starts the program may cut its
// own wait, never make it hang longer.
constexpr const char* kAgentTimeoutForUnitTestVariable = "NRV_AGENT_TIMEOUT_MS_FOR_UNIT_TEST";

std::chrono::nanoseconds agentTimeout() {
    const char* value = std::getenv(kAgentTimeoutForUnitTestVariable);
    if (!value || !*value) return kAgentTimeout;
    char* end = nullptr;
    errno = 0;
    const long long milliseconds = std::strtoll(value, &end, 10);
    if (errno != 0 || *end != '\0' || milliseconds <= 0 ||
        std::chrono::milliseconds(milliseconds) >= kAgentTimeout) {
        return kAgentTimeout;
    }
    return std::chrono::milliseconds(milliseconds);
}

// Connect, take the name, collect, tell the agent: the exit status.
int run(RemoteZEPSession& session) {
    const std::string serviceName = session.serviceName();

    if (!session.connectToAgent(serviceName)) return EXIT_FAILURE;

    const std::optional<std::string> archiveName = session.requestArchiveName(serviceName);
    if (!archiveName) return EXIT_FAILURE;
    if (!RemoteZEPArchiveName::isAcceptable(*archiveName)) {
        NerovaDiagnostics(kDiagnosticsTag, "Refused the archive name from %@: not a plain file name.", serviceName);
        return EXIT_FAILURE;
    }

    if (!session.collect(*archiveName)) return EXIT_FAILURE;

    session.commandLine().xpcAgentClientHelper()->disconnectService(serviceName);
    // A failed archive reaches the agent only as the missing upload notice.
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: no one may attach to a signed program or
    // write its memory once it runs.
    platform::process::markNotDumpable();
    // First, before any thread starts: the termination signals are taken by
    // one watcher thread that ends the run's programs and removes its staging.
    platform::signal::installTerminationHandling();
    platform::setProcessArguments(argc, argv);

    // The agent's service is named after the login name; a made-up stand-in
    // would reach some other user's service or none.
    if (!platform::loginName()) {
        NerovaDiagnostics(kDiagnosticsTag, "The login name of the current user cannot be looked up.");
        return EXIT_FAILURE;
    }

    auto client = std::make_shared<NRVXPCClientHelper>();
    int exitStatus = EXIT_FAILURE;
    {
        RemoteZEPSession session(ZEPCommandLine(client, agentTimeout()));
        exitStatus = run(session);
    }
    // Nothing of the interprocess client runs on once main has returned.
    client->stop();
    return exitStatus;
}
