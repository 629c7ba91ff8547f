// Feeds arbitrary bytes to the transport's frame decoder, as a hostile peer
// would after the length prefix; a decoded frame must encode again.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/xpc/XPCFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::xpc::Frame frame;
    if (platform::xpc::decodeFrameBody(data, size, frame)) {
        std::vector<std::uint8_t> again;
        if (!platform::xpc::encodeFrame(frame, again)) __builtin_trap();
    }
    return 0;
}
