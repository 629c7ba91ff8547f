#include "platform/process/CodeIntegrity.h"
#include "Nerova_Diagnostic_Utility/ZEPApplicationMain.h"
#include "Nerova_Diagnostic_Utility/window/ZEPApplication.h"
#include "platform/signal/TerminationSignals.h"
#include "platform/system/SystemEnvironment.h"

int main(int argc, char** argv) {
    // Before anything else: no one may attach to a signed program or
    // write its memory once it runs.
    platform::process::markNotDumpable();
    // First, before any thread starts: the termination signals are taken by
    // one watcher thread that cleans up, and a closed terminal must not end a run.
    platform::signal::installTerminationHandling();
    platform::setProcessArguments(argc, argv);
    ZEPApplicationMain::main(&ZEPApplication::main);
}
