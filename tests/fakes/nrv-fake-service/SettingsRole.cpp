#include <iostream>

#include "FakeService.h"

namespace fake {

int runSettings(const Options&) {
    std::cerr << "nrv-fake-service: the settings role is not built yet\n";
    return 69;
}

}  // namespace fake
