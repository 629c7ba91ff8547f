// How a platform facility reports a failure: the call that failed, the
// system error number, a sentence for the log and, where the facility has
// its own status codes (keychain, code signing), that status.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct Error {
    std::string operation;     // the failing call, e.g. "open"; may be empty
    int code = 0;              // errno of the failing call; 0 when none
    std::string description;   // a sentence for the log, shown as is
    std::int64_t status = 0;   // the facility's own status code; 0 when none
};

}  // namespace platform
