#include "Nerova_Diagnostic_Utility/ZEPApplicationMain.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <variant>

#include "Nerova_Diagnostic_Utility/ZEPCLIConfiguration.h"
#include "Nerova_Diagnostic_Utility/ZEPCommandLine.h"
#include "platform/system/SystemEnvironment.h"

namespace {

// How long the agent operations wait for each answer of the agent.
constexpr std::chrono::seconds kAgentTimeoutInterval{30};

[[noreturn]] void exitWith(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(status);
}

}  // namespace

void ZEPApplicationMain::main(WindowMain windowMain) {
    using Result = ZEPCLIConfigurationResult;
    const auto& arguments = platform::processArguments();
    const Result result = ZEPCLIConfiguration::parse(arguments);

    std::visit(
        [&](const auto& outcome) {
            using Outcome = std::decay_t<decltype(outcome)>;
            if constexpr (std::is_same_v<Outcome, Result::showHelp>) {
                ZEPCLIConfiguration::printHelp(outcome.executableLabel);
                exitWith(EXIT_SUCCESS);
            } else if constexpr (std::is_same_v<Outcome, Result::runCollection>) {
                bool succeeded = false;
                {
                    // The agent client is used only by the agent-driven tool.
                    ZEPCommandLine commandLine(nullptr, kAgentTimeoutInterval);
                    succeeded = commandLine.runCLI(outcome.outputDirectory);
                }
                exitWith(succeeded ? EXIT_SUCCESS : EXIT_FAILURE);
            } else if constexpr (std::is_same_v<Outcome, Result::commandLineError>) {
                ZEPCLIConfiguration::printCommandLineError(outcome.error,
                                                           ZEPCLIConfiguration::executableLabel(arguments));
                exitWith(EXIT_FAILURE);
            } else {
                exitWith(windowMain(arguments));
            }
        },
        result.value);
    exitWith(EXIT_FAILURE);  // not reached: every outcome ends the process
}
