// A client instead of a service: reaches --service=NAME through the broker
// as the programs do and prints CONNECTED (status 0) or REFUSED (status 1).
// The peer-check tests run it from copies signed in every way.
#include <iostream>

#include "FakeProtocols.h"
#include "FakeService.h"
#include "ipc/NRVNerovaXPCInterfaceProtocol.h"
#include "ipc/NRVXPCClientHelper.h"

namespace fake {

int runProbe(const Options& options) {
    if (!options.service) {
        std::cerr << "nrv-fake-service: the probe needs --service=NAME\n";
        return 64;
    }
    NRVXPCClientHelper helper;
    // Any protocol does: the connection is made and checked before any call.
    long waited = helper.connectAndWaitForFirstConnectionForService(*options.service, NRVServiceStatusProtocol(), 3.0);
    std::cout << (waited == 0 ? "CONNECTED" : "REFUSED") << std::endl;
    return waited == 0 ? 0 : 1;
}

}  // namespace fake
