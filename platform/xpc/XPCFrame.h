// The transport's frames: a 4-byte big-endian length, then one encoded value,
// an array whose first members say what the frame is.
//   call:  [0, id, selector, [arguments], wants-reply]
//   reply: [1, id, [values]]
//   error: [2, id, code, text]
// Endpoints and coded records may appear only as arguments or reply values,
// never nested inside plain values. Decoding never trusts the peer: lengths
// are checked against what is left, nesting is bounded, and any surplus or
// shortfall makes the frame malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/xpc/XPCTypes.h"

namespace platform::xpc {

struct Frame {
    enum class Kind { Call = 0, Reply = 1, Error = 2 };
    Kind kind = Kind::Call;
    std::uint64_t id = 0;
    // Call.
    std::string selector;
    Values arguments;
    bool wantsReply = false;
    // Reply.
    Values values;
    // Error.
    std::int64_t errorCode = 0;
    std::string errorText;

    static Frame call(std::uint64_t id, std::string selector, Values arguments, bool wantsReply);
    static Frame reply(std::uint64_t id, Values values);
    static Frame error(std::uint64_t id, std::int64_t code, std::string text);
};

// The whole frame, length prefix included. Fails (false, the reason in the
// error's description) for a value
// nested deeper than the value type's limit or a body over kMaxFrameLength.
bool encodeFrame(const Frame& frame, std::vector<std::uint8_t>& out, platform::Error* error = nullptr);
// The size of the length prefix, and the body length it announces (not yet
// checked against kMaxFrameLength).
constexpr std::size_t kFramePrefixLength = 4;
std::uint32_t frameBodyLength(const std::uint8_t* prefix);
// The body after the length prefix.
bool decodeFrameBody(const std::uint8_t* body, std::size_t length, Frame& out, platform::Error* error = nullptr);

}  // namespace platform::xpc
