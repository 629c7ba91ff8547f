// The windowed program's entry: reads the command line and either prints the
// help, runs the collection in the terminal or starts the window.
#pragma once

class ZEPApplicationMain {
public:
    ZEPApplicationMain() = delete;

    // Ends the process on every path.
    [[noreturn]] static void main();
};
