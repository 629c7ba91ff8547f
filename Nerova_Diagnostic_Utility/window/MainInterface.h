// The window of the program: a read-only text view over a row with the
// progress indicator and the Quit and Run buttons. Loading it connects the
// delegate's outlets and the buttons' actions.
#pragma once

#include <memory>

class QWidget;
class ZEPAppDelegate;

namespace MainInterface {

constexpr const char* kWindowTitle = "Nerova Diagnostic Utility";
constexpr const char* kRunButtonTitle = "Run";
constexpr const char* kQuitButtonTitle = "Quit";

// Main thread only; the window is not shown yet.
std::unique_ptr<QWidget> load(ZEPAppDelegate& delegate);

}  // namespace MainInterface
