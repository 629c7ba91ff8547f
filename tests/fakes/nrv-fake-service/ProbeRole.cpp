// A client instead of a service: reaches --service=NAME through the broker
// as the programs do and prints CONNECTED (status 0), REFUSED (status 1) or,
// when neither came within --limit-seconds, TIMED OUT (status 2), so a
// refusal is never mistaken for a slow machine. The peer-check tests run it
// from copies signed in every way.
#include <chrono>
#include <iostream>

#include "FakeProtocols.h"
#include "FakeService.h"
#include "ipc/xpc/NRVNerovaXPCInterfaceProtocol.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "platform/xpc/XPCFrame.h"
#include "platform/xpc/XPCIOLoop.h"

#include <fcntl.h>
#include <unistd.h>

namespace fake {

int runProbe(const Options& options) {
    if (!options.service) {
        std::cerr << "nrv-fake-service: the probe needs --service=NAME\n";
        return 64;
    }
    NRVXPCClientHelper helper;
    // Any protocol does: the connection is made and checked before any call.
    const auto start = std::chrono::steady_clock::now();
    long waited = helper.connectAndWaitForFirstConnectionForService(*options.service, NRVServiceStatusProtocol(),
                                                                         options.limitSeconds);
    // The wait answers the same for a refusal and for its limit: only the
    // time it took tells them apart.
    const bool timedOut =
        waited != 0 && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(options.limitSeconds);
    std::cout << (waited == 0 ? "CONNECTED" : timedOut ? "TIMED OUT" : "REFUSED") << std::endl;
    return waited == 0 ? 0 : timedOut ? 2 : 1;
}

int runExecAfterConnect(const Options& options, const std::vector<std::string>& program) {
    if (!options.endpoint || program.empty()) {
        std::cerr << "nrv-fake-service: exec-after-connect needs --endpoint=NAME and a program after --\n";
        return 64;
    }
    platform::Error why;
    platform::ScopedFD fd = platform::xpc::detail::connectSocket(*options.endpoint, true, &why);
    std::vector<std::uint8_t> bytes;
    if (!fd || !platform::xpc::encodeFrame(platform::xpc::Frame::call(1, "statusWithReply:", {}, true), bytes)) {
        std::cerr << "nrv-fake-service: cannot connect: " << why.description << "\n";
        return 1;
    }
    if (!options.noCall && ::write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return 1;
    // The program that runs next keeps the connection (and knows nothing of it).
    ::fcntl(fd.get(), F_SETFD, 0);
    (void)fd.release();
    std::vector<char*> argv;
    for (const auto& a : program) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    std::cerr << "nrv-fake-service: cannot run " << program[0] << "\n";
    return 1;
}

}  // namespace fake
