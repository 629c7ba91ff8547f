// A daemon for the background-service tests. Its delegate prints what it is
// told on standard output, one line each:
//   launched <argument count> <first argument>
//   terminating
// "--terminate-from-thread" makes the delegate call terminate() from a thread
// of its own 200 ms after the launch.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/process/CodeIntegrity.h"
#include "ipc/xpc/QKBackgroundService.h"

namespace {

bool terminateFromThread = false;

class ProbeDelegate : public QKBackgroundServiceDelegate {
public:
    void backgroundServiceDidFinishLaunching(const QKNotification& n) override {
        auto arguments = n.object->commandLineArguments();
        std::printf("launched %zu %s\n", arguments ? arguments->size() : 0,
                    arguments && !arguments->empty() ? arguments->front().c_str() : "-");
        std::fflush(stdout);
        if (terminateFromThread)
            std::thread([] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                QKBackgroundService::sharedBackgroundService().terminate();
            }).detach();
    }
    void backgroundServiceWillTerminate(const QKNotification&) override {
        std::printf("terminating\n");
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: no one may attach to a signed program or
    // write its memory once it runs.
    platform::process::markNotDumpable();
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--terminate-from-thread") == 0) terminateFromThread = true;
    QKBackgroundService::registerDelegateClass("ProbeDelegate", [] { return std::make_unique<ProbeDelegate>(); });
    const char* className = argc > 1 && std::strncmp(argv[1], "--", 2) != 0 ? argv[1] : "ProbeDelegate";
    return QKBackgroundServiceMain(className, argc, argv);
}
