#include "Nerova_Diagnostic_Utility/ZEPApplication.h"

#include <QApplication>
#include <QObject>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "Nerova_Diagnostic_Utility/MainInterface.h"
#include "Nerova_Diagnostic_Utility/ZEPAppDelegate.h"
#include "Nerova_Diagnostic_Utility/ZEPCLIConfiguration.h"
#include "platform/dispatch/Dispatch.h"

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
    if (!displayAvailable()) {
        const std::string line = ZEPCLIConfiguration::executableLabel(arguments) +
                                 ": no display is available for the window; --cli runs the collection without one\n";
        std::fputs(line.c_str(), stderr);
        return EXIT_FAILURE;
    }
    // Qt keeps argc and argv for the life of the application.
    std::vector<std::string> argumentStorage = arguments;
    if (argumentStorage.empty()) argumentStorage.emplace_back(ZEPCLIConfiguration::productName);
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

bool ZEPApplication::displayAvailable() {
    return environmentHas("DISPLAY") || environmentHas("WAYLAND_DISPLAY") || environmentHas("QT_QPA_PLATFORM");
}

#if defined(__SANITIZE_ADDRESS__)
// Font configuration, loaded by Qt for the first window, keeps what it read
// until the process ends and never frees it: not a leak of this program.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
