// The application object of the window program: runs Qt's event loop in the
// place of the platform's application, maps the main queue onto that loop,
// loads the main interface, answers the application's delegate and ends the
// program when asked or when the last window closes.
//
// Threading: made, run and destroyed on the main thread, the one that made
// the QApplication; delegate() and terminate() are main-thread calls. Blocks
// may be added to the main queue from any thread: while an application
// object exists they run on the event loop in the order added; blocks that
// arrive while none exists are dropped, so none can reach a window that is
// gone.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QWidget;
class ZEPAppDelegate;

class ZEPApplication {
public:
    // The window mode of the program: starts Qt with the process's arguments
    // and runs the window until it ends. Without a display that answers it
    // prints one line saying so on standard error and answers 1, where Qt
    // would abort.
    static int main(const std::vector<std::string>& arguments);

    // Needs a QApplication. Loads the main interface, connected to `delegate`.
    explicit ZEPApplication(ZEPAppDelegate& delegate);
    ~ZEPApplication();
    ZEPApplication(const ZEPApplication&) = delete;
    ZEPApplication& operator=(const ZEPApplication&) = delete;

    // Shows the window, finishes launching, runs the event loop until the
    // program is to end, then lets the delegate clean up. Answers the loop's
    // exit status.
    int run();

    QWidget* window() const;

    // The delegate of the application object that exists now, or null.
    static ZEPAppDelegate* delegate();
    // Ends the event loop; run() then returns.
    static void terminate();

    // The window system to start Qt on, found by asking the servers before Qt
    // could abort on one that does not answer: nullopt when none answers, ""
    // to leave the choice to Qt (its own choice can start), else the Qt
    // platform to use ("xcb" or "wayland"). A platform chosen with -platform
    // or QT_QPA_PLATFORM is kept when it can start.
    static std::optional<std::string> windowSystem(const std::vector<std::string>& arguments);

private:
    ZEPAppDelegate& delegate_;
    std::unique_ptr<QWidget> window_;
};
