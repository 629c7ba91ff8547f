// The windowed program's entry: reads the command line and either prints the
// help, runs the collection in the terminal or starts the window. The window
// is handed in by the program, so that this entry needs no window library.
#pragma once

#include <string>
#include <vector>

class ZEPApplicationMain {
public:
    // The window mode: runs the window with the process's arguments and
    // answers the exit status.
    using WindowMain = int (*)(const std::vector<std::string>& arguments);

    ZEPApplicationMain() = delete;

    // Ends the process on every path; `windowMain` runs when the command line
    // asks for the window.
    [[noreturn]] static void main(WindowMain windowMain);
};
