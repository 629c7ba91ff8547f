// Feeds arbitrary bytes to the web-socket frame decoder, as a hostile server
// (or client) would, in two pieces split where the first byte says; every
// text message handed up must be UTF-8 and within the size limit, and a
// failure must leave the connection closed with a close frame queued.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/websocket/WebSocketFrame.h"

namespace ws = platform::websocket;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const ws::Role role = (data[0] & 0x80) ? ws::Role::kServer : ws::Role::kClient;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t split = input.empty() ? 0 : (data[0] & 0x7F) % (input.size() + 1);
    ws::Limits limits;
    limits.maxMessageSize = 4096;
    ws::Connection connection(role, limits);
    for (std::string_view piece : {input.substr(0, split), input.substr(split)}) {
        for (const ws::Event& e : connection.receive(piece)) {
            if (e.kind == ws::Event::Kind::kText && !ws::isValidUTF8(e.payload)) __builtin_trap();
            if ((e.kind == ws::Event::Kind::kText || e.kind == ws::Event::Kind::kBinary) &&
                e.payload.size() > limits.maxMessageSize)
                __builtin_trap();
            if ((e.kind == ws::Event::Kind::kPing || e.kind == ws::Event::Kind::kPong) &&
                e.payload.size() > ws::kMaxControlPayload)
                __builtin_trap();
            if (e.kind == ws::Event::Kind::kFailure &&
                (connection.state() != ws::Connection::State::kClosed || connection.takeOutput().empty()))
                __builtin_trap();
        }
    }
    return 0;
}
