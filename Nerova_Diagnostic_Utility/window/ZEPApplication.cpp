#include "Nerova_Diagnostic_Utility/window/ZEPApplication.h"

#include <QApplication>
#include <QObject>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "Nerova_Diagnostic_Utility/window/MainInterface.h"
#include "Nerova_Diagnostic_Utility/window/ZEPAppDelegate.h"
#include "Nerova_Diagnostic_Utility/ZEPCLIConfiguration.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/display/DisplayServer.h"

namespace {

// The object whose thread (the main thread) runs main-queue blocks; null
// while no application object exists. Guarded: blocks arrive from any thread.
std::mutex gReceiverMutex;
QObject* gReceiver = nullptr;

ZEPAppDelegate* gDelegate = nullptr;  // main thread only

void runOnEventLoop(platform::dispatch::Block block) {
    std::lock_guard<std::mutex> lock(gReceiverMutex);
    if (!gReceiver) return;
    // Queued calls to one object are delivered in the order they were posted.
    QMetaObject::invokeMethod(gReceiver, std::move(block), Qt::QueuedConnection);
}

bool environmentHas(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

int ZEPApplication::main(const std::vector<std::string>& arguments) {
    const std::optional<std::string> platform = windowSystem(arguments);
    if (!platform) {
        const std::string line = ZEPCLIConfiguration::executableLabel(arguments) +
                                 ": no display is available for the window; --cli runs the collection without one\n";
        std::fputs(line.c_str(), stderr);
        return EXIT_FAILURE;
    }
    // Qt keeps argc and argv for the life of the application.
    std::vector<std::string> argumentStorage = arguments;
    if (argumentStorage.empty()) argumentStorage.emplace_back(ZEPCLIConfiguration::productName);
    if (!platform->empty()) argumentStorage.insert(argumentStorage.begin() + 1, {"-platform", *platform});
    std::vector<char*> argv;
    for (std::string& argument : argumentStorage) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(argumentStorage.size());

    QApplication qtApplication(argc, argv.data());
    ZEPAppDelegate delegate;
    ZEPApplication application(delegate);
    return application.run();
}

ZEPApplication::ZEPApplication(ZEPAppDelegate& delegate) : delegate_(delegate) {
    {
        std::lock_guard<std::mutex> lock(gReceiverMutex);
        gReceiver = QCoreApplication::instance();
    }
    platform::dispatch::setMainQueueExecutor(runOnEventLoop);
    gDelegate = &delegate_;
    window_ = MainInterface::load(delegate_);
}

ZEPApplication::~ZEPApplication() {
    gDelegate = nullptr;
    window_.reset();
    // The executor stays: without a receiver it drops what arrives, where a
    // cleared executor would keep blocks for a later application object.
    std::lock_guard<std::mutex> lock(gReceiverMutex);
    gReceiver = nullptr;
}

int ZEPApplication::run() {
    QApplication::setQuitOnLastWindowClosed(delegate_.applicationShouldTerminateAfterLastWindowClosed());
    window_->show();
    delegate_.applicationDidFinishLaunching();
    const int status = QApplication::exec();
    delegate_.applicationWillTerminate();
    return status;
}

QWidget* ZEPApplication::window() const { return window_.get(); }

ZEPAppDelegate* ZEPApplication::delegate() { return gDelegate; }

void ZEPApplication::terminate() { QCoreApplication::quit(); }

std::optional<std::string> ZEPApplication::windowSystem(const std::vector<std::string>& arguments) {
    const auto x11 = [] { return environmentHas("DISPLAY") && platform::display::x11ServerReachable(std::getenv("DISPLAY")); };
    const auto wayland = [] {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        return environmentHas("WAYLAND_DISPLAY") &&
               platform::display::waylandServerReachable(std::getenv("WAYLAND_DISPLAY"), runtime ? runtime : "");
    };
    // A choice made on the command line wins over the environment, as in Qt.
    std::string chosen = environmentHas("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    for (std::size_t i = 1; i + 1 < arguments.size(); ++i)
        if (arguments[i] == "-platform") chosen = arguments[i + 1];
    if (!chosen.empty()) {
        // A list is tried in order; Qt aborts only when no entry starts.
        // Entries other than the two window systems need no server here.
        std::size_t from = 0;
        for (;;) {
            const std::size_t to = chosen.find(';', from);
            const std::string entry = chosen.substr(from, to == std::string::npos ? std::string::npos : to - from);
            const std::string name = entry.substr(0, entry.find(':'));
            if (name == "xcb" ? x11() : name.rfind("wayland", 0) == 0 ? wayland() : !name.empty()) return "";
            if (to == std::string::npos) return std::nullopt;
            from = to + 1;
        }
    }
    const bool x11Answers = x11(), waylandAnswers = wayland();
    if (x11Answers && waylandAnswers) return "";
    if (x11Answers) return "xcb";
    if (waylandAnswers) return "wayland";
    return std::nullopt;
}

#if defined(__SANITIZE_ADDRESS__)
// Font configuration, loaded by Qt for the first window, keeps what it read
// until the process ends and never frees it: not a leak of this program.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
