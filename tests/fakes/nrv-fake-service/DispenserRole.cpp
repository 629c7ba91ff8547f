// A producer with a ticket dispenser: serves --service=NAME (default
// com.nerova.xpc.name.ticketDispenser) with the Part's default time limit,
// and reports one batch per SIGUSR1: the array ["event <n>", "<pid>"], n
// counting from 1. Each report is announced by the dispenser's notification.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "FakeProtocols.h"
#include "FakeService.h"
#include "ipc/xpc/NRVXPCTicketDispenser.h"

namespace fake {

namespace {

constexpr const char* kDefaultDispenserService = "com.nerova.xpc.name.ticketDispenser";

// Written by the signal handler, read by the reporting thread: a pipe is the
// one hand-over a handler may make, whichever thread the signal lands on.
int gReportPipe[2] = {-1, -1};

void onReportSignal(int) {
    const int saved = errno;
    const char byte = 1;
    ssize_t ignored = ::write(gReportPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

}  // namespace

int runDispenser(const Options& options) {
    const std::string service = options.service.value_or(kDefaultDispenserService);
    if (::pipe2(gReportPipe, O_CLOEXEC) != 0) return 1;
    struct sigaction action {};
    action.sa_handler = onReportSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGUSR1, &action, nullptr) != 0) return 1;

    auto dispenser = NRVXPCTicketDispenser::create(service, 0);
    std::thread([dispenser] {
        long reported = 0;
        char byte;
        while (::read(gReportPipe[0], &byte, 1) == 1) {
            NRVArray batch{NRVValue("event " + std::to_string(++reported)), NRVValue(std::to_string(::getpid()))};
            dispenser->reportEvents(NRVValue(std::move(batch)));
        }
    }).detach();
    dispenser->start();
    waitUntilRegistered(service);
    announceReady();
    return waitForTermination();
}

}  // namespace fake
