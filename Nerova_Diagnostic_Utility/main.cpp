#include "Nerova_Diagnostic_Utility/ZEPApplicationMain.h"
#include "platform/system/SystemEnvironment.h"

int main(int argc, char** argv) {
    platform::setProcessArguments(argc, argv);
    ZEPApplicationMain::main();
}
