// The web-socket protocol (RFC 6455) as a pure codec, with no sockets: the
// opening handshake texts, frames with client masking, fragmentation and
// reassembly, ping and pong, and the close handshake with its codes. The
// transport (a connect-only URL handle, a test server) moves the bytes.
//
// Threading: a Connection is used by one thread at a time; the free
// functions keep no state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::websocket {

enum class Opcode : std::uint8_t {
    kContinuation = 0x0,
    kText = 0x1,
    kBinary = 0x2,
    kClose = 0x8,
    kPing = 0x9,
    kPong = 0xA,
};

// Close codes.
enum CloseCode : std::uint16_t {
    kNormalClosure = 1000,
    kGoingAway = 1001,
    kProtocolError = 1002,
    kUnsupportedData = 1003,
    kNoStatusReceived = 1005,  // never sent: a close frame without a code
    kAbnormalClosure = 1006,   // never sent: the connection ended without a close frame
    kInvalidFramePayloadData = 1007,
    kPolicyViolation = 1008,
    kMessageTooBig = 1009,
    kMandatoryExtension = 1010,
    kInternalError = 1011,
};

// A control frame carries at most this much.
constexpr std::size_t kMaxControlPayload = 125;

enum class Role {
    kClient,  // masks what it sends; frames it receives must be unmasked
    kServer,  // sends unmasked; frames it receives must be masked
};

struct Limits {
    std::size_t maxMessageSize = 16u << 20;  // a whole (reassembled) message
    std::size_t fragmentSize = 1u << 20;     // outgoing messages are cut into frames of this size
};

// One frame, encoded. `maskKey` given: the payload is masked with it and
// the mask bit set.
std::string encodeFrame(Opcode opcode, std::string_view payload, bool fin,
                        const std::optional<std::array<std::uint8_t, 4>>& maskKey);
// Four bytes from the system's random source, as masking keys must be.
std::array<std::uint8_t, 4> randomMaskKey();

// Payload of a close frame: the code in network order, then the reason,
// cut at a character boundary so that the payload stays within 125 bytes.
std::string closePayload(std::uint16_t code, std::string_view reason);
// A code a peer may send in a close frame.
bool isValidCloseCode(std::uint16_t code);

bool isValidUTF8(std::string_view text);

// The opening handshake, client side.
namespace handshake {
// 16 random bytes in Base64.
std::string newKey();
// Base64 of SHA-1 of the key and the protocol's fixed GUID.
std::string acceptValue(std::string_view key);
// The GET request head for `path` (with query) on `host` ("host[:port]").
std::string clientRequest(std::string_view host, std::string_view path, std::string_view key,
                          const std::vector<std::pair<std::string, std::string>>& extraHeaders = {});
// How much of `bytes` is the response head (through the blank line), 0
// while incomplete. A head over kMaxHeadSize is refused by checkResponse.
constexpr std::size_t kMaxHeadSize = 16 * 1024;
std::size_t responseHeadLength(std::string_view bytes);
// nullopt when the head accepts the upgrade for `key`; else why not.
std::optional<std::string> checkResponse(std::string_view head, std::string_view key, int* statusCode = nullptr);
}  // namespace handshake

struct Event {
    enum class Kind {
        kText,    // a whole text message (valid UTF-8)
        kBinary,  // a whole binary message
        kPing,    // answered with a pong already
        kPong,
        kClose,  // the peer closed: code (kNoStatusReceived without one) and reason
        kFailure,  // the peer broke the protocol: a close with `code` was queued and the connection is closed
    };
    Kind kind;
    std::string payload;  // message or ping/pong data; the reason for kClose and kFailure
    std::uint16_t code = 0;
};

class Connection {
public:
    enum class State {
        kOpen,
        kClosing,  // this side sent its close frame and waits for the peer's
        kClosed,   // both close frames went, or the connection failed
    };

    explicit Connection(Role role, Limits limits = {});

    // Bytes from the peer. Answers (pong, the close reply, the failure
    // close) are queued for takeOutput(). Bytes after the connection closed
    // are ignored.
    std::vector<Event> receive(std::string_view bytes);

    // Queue a message (cut into fragments) or a control frame. false once
    // this side sent its close, or for a ping over 125 bytes or a text that
    // is not UTF-8.
    bool sendText(std::string_view text);
    bool sendBinary(std::string_view data);
    bool sendPing(std::string_view payload = {});
    // Starts the close handshake; false when a close was sent already.
    bool close(std::uint16_t code = kNormalClosure, std::string_view reason = {});

    // The bytes queued for the peer, handed out once.
    std::string takeOutput();
    State state() const { return state_; }
    // The code and reason of the close, once there was one (the peer's, or
    // ours for a failure); kAbnormalClosure while none.
    std::uint16_t closeCode() const { return closeCode_; }
    const std::string& closeReason() const { return closeReason_; }

private:
    bool sendMessage(Opcode opcode, std::string_view payload);
    void queueFrame(Opcode opcode, std::string_view payload, bool fin);
    Event fail(std::uint16_t code, std::string reason);
    // Parses one whole frame at offset_ into events (a failure event when
    // it breaks the protocol); false when more bytes are needed.
    bool parseOne(std::vector<Event>& events);

    Role role_;
    Limits limits_;
    State state_ = State::kOpen;
    bool closeSent_ = false;
    std::uint16_t closeCode_ = kAbnormalClosure;
    std::string closeReason_;
    std::string buffer_;      // received; parsed up to offset_
    std::size_t offset_ = 0;
    std::string output_;
    // The message being reassembled.
    std::optional<Opcode> messageOpcode_;
    std::string message_;
    // Incremental UTF-8 check of a text message: bytes still expected in
    // the current character and the bounds of the next one.
    int utf8Remaining_ = 0;
    std::uint8_t utf8Lower_ = 0x80, utf8Upper_ = 0xBF;
};

}  // namespace platform::websocket
