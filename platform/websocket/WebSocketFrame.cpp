#include "platform/websocket/WebSocketFrame.h"

#include "platform/crypto/OpenSSLState.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <utility>

namespace platform::websocket {

namespace {

constexpr const char* kGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// One step of the UTF-8 check; false on a byte that cannot come here.
struct UTF8Step {
    int& remaining;
    std::uint8_t& lower;
    std::uint8_t& upper;

    bool operator()(std::uint8_t b) {
        if (remaining == 0) {
            lower = 0x80;
            upper = 0xBF;
            if (b < 0x80) return true;
            if (b >= 0xC2 && b <= 0xDF) {
                remaining = 1;
            } else if (b == 0xE0) {
                remaining = 2;
                lower = 0xA0;
            } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
                remaining = 2;
            } else if (b == 0xED) {  // no surrogates
                remaining = 2;
                upper = 0x9F;
            } else if (b == 0xF0) {
                remaining = 3;
                lower = 0x90;
            } else if (b >= 0xF1 && b <= 0xF3) {
                remaining = 3;
            } else if (b == 0xF4) {  // nothing above U+10FFFF
                remaining = 3;
                upper = 0x8F;
            } else {
                return false;
            }
            return true;
        }
        if (b < lower || b > upper) return false;
        --remaining;
        lower = 0x80;
        upper = 0xBF;
        return true;
    }
};

std::string base64(const unsigned char* bytes, std::size_t n) {
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, static_cast<int>(n));
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

bool hasLineBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos; }

std::string lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// A comma-separated header value holding `token` (compared without case).
bool hasToken(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        auto comma = value.find(',');
        if (lower(trim(value.substr(0, comma))) == token) return true;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

std::array<std::uint8_t, 4> randomMaskKey() {
    std::array<std::uint8_t, 4> key{};
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
        std::random_device rd;
        for (auto& b : key) b = static_cast<std::uint8_t>(rd());
    }
    return key;
}

std::string encodeFrame(Opcode opcode, std::string_view payload, bool fin,
                        const std::optional<std::array<std::uint8_t, 4>>& maskKey) {
    std::string out;
    out.reserve(payload.size() + 14);
    out.push_back(static_cast<char>((fin ? 0x80 : 0x00) | static_cast<std::uint8_t>(opcode)));
    const std::uint8_t maskBit = maskKey ? 0x80 : 0x00;
    const std::uint64_t n = payload.size();
    if (n < 126) {
        out.push_back(static_cast<char>(maskBit | n));
    } else if (n <= 0xFFFF) {
        out.push_back(static_cast<char>(maskBit | 126));
        out.push_back(static_cast<char>(n >> 8));
        out.push_back(static_cast<char>(n));
    } else {
        out.push_back(static_cast<char>(maskBit | 127));
        for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift));
    }
    if (!maskKey) {
        out.append(payload);
        return out;
    }
    out.append(reinterpret_cast<const char*>(maskKey->data()), 4);
    std::size_t start = out.size();
    out.append(payload);
    for (std::size_t i = 0; i < payload.size(); ++i) out[start + i] = static_cast<char>(out[start + i] ^ (*maskKey)[i & 3]);
    return out;
}

std::string closePayload(std::uint16_t code, std::string_view reason) {
    std::string out;
    out.push_back(static_cast<char>(code >> 8));
    out.push_back(static_cast<char>(code));
    std::size_t room = kMaxControlPayload - 2;
    if (reason.size() > room) {
        std::size_t cut = room;
        // Back up to the start of a character.
        while (cut > 0 && (static_cast<std::uint8_t>(reason[cut]) & 0xC0) == 0x80) --cut;
        reason = reason.substr(0, cut);
    }
    out.append(reason);
    return out;
}

bool isValidCloseCode(std::uint16_t code) {
    if (code >= 3000 && code <= 4999) return true;
    if (code < 1000 || code > 1014) return false;
    return code != 1004 && code != kNoStatusReceived && code != kAbnormalClosure;
}

bool isValidUTF8(std::string_view text) {
    int remaining = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;
    UTF8Step step{remaining, lo, hi};
    for (unsigned char c : text)
        if (!step(c)) return false;
    return remaining == 0;
}

namespace handshake {

std::string newKey() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        std::random_device rd;
        for (auto& b : bytes) b = static_cast<unsigned char>(rd());
    }
    return base64(bytes, sizeof bytes);
}

std::string acceptValue(std::string_view key) {
    std::string text(key);
    text += kGUID;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    return base64(digest, sizeof digest);
}

std::string clientRequest(std::string_view host, std::string_view path, std::string_view key,
                          const std::vector<std::pair<std::string, std::string>>& extraHeaders) {
    // A line break in any part would let it write headers of its own.
    if (hasLineBreakOrNul(host) || hasLineBreakOrNul(path) || hasLineBreakOrNul(key)) return "";
    for (const auto& [name, value] : extraHeaders)
        if (hasLineBreakOrNul(name) || hasLineBreakOrNul(value) || name.find(':') != std::string::npos) return "";
    std::string out = "GET ";
    out += path.empty() ? std::string_view("/") : path;
    out += " HTTP/1.1\r\nHost: ";
    out += host;
    out += "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ";
    out += key;
    out += "\r\nSec-WebSocket-Version: 13\r\n";
    for (const auto& [name, value] : extraHeaders) out += name + ": " + value + "\r\n";
    out += "\r\n";
    return out;
}

std::size_t responseHeadLength(std::string_view bytes) {
    auto end = bytes.find("\r\n\r\n");
    return end == std::string_view::npos ? 0 : end + 4;
}

std::optional<std::string> checkResponse(std::string_view head, std::string_view key, int* statusCode) {
    if (head.size() > kMaxHeadSize) return "the response head is too large";
    auto lineEnd = head.find("\r\n");
    if (lineEnd == std::string_view::npos) return "the response head is incomplete";
    std::string_view statusLine = head.substr(0, lineEnd);
    if (statusLine.substr(0, 5) != "HTTP/" || statusLine.size() < 12 || statusLine[8] != ' ')
        return "the response has no status line";
    std::string_view digits = statusLine.substr(9, 3);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return "the response has no status code";
    int status = (digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0');
    if (statusCode) *statusCode = status;
    if (status != 101) return "the server answered " + std::to_string(status) + " instead of switching protocols";

    bool upgrade = false, connection = false, accept = false;
    std::string_view rest = head.substr(lineEnd + 2);
    while (!rest.empty()) {
        auto end = rest.find("\r\n");
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
        if (line.empty()) break;
        auto colon = line.find(':');
        if (colon == std::string_view::npos) return "a response header line has no colon";
        std::string name = lower(trim(line.substr(0, colon)));
        std::string_view value = trim(line.substr(colon + 1));
        if (name == "upgrade") upgrade = upgrade || hasToken(value, "websocket");
        if (name == "connection") connection = connection || hasToken(value, "upgrade");
        if (name == "sec-websocket-accept") accept = value == acceptValue(key);
        if (name == "sec-websocket-extensions" && !value.empty()) return "the server chose an extension not offered";
        if (name == "sec-websocket-protocol" && !value.empty()) return "the server chose a subprotocol not offered";
    }
    if (!upgrade) return "the response does not upgrade to websocket";
    if (!connection) return "the response does not say Connection: Upgrade";
    if (!accept) return "the response does not accept the key";
    return std::nullopt;
}

}  // namespace handshake

Connection::Connection(Role role, Limits limits) : role_(role), limits_(limits) {
    if (limits_.fragmentSize == 0) limits_.fragmentSize = 1;
}

void Connection::queueFrame(Opcode opcode, std::string_view payload, bool fin) {
    std::optional<std::array<std::uint8_t, 4>> key;
    if (role_ == Role::kClient) key = randomMaskKey();
    output_ += encodeFrame(opcode, payload, fin, key);
}

bool Connection::sendMessage(Opcode opcode, std::string_view payload) {
    if (closeSent_ || state_ == State::kClosed) return false;
    Opcode next = opcode;
    do {
        std::size_t n = std::min(payload.size(), limits_.fragmentSize);
        bool fin = n == payload.size();
        queueFrame(next, payload.substr(0, n), fin);
        payload.remove_prefix(n);
        next = Opcode::kContinuation;
    } while (!payload.empty());
    return true;
}

bool Connection::sendText(std::string_view text) { return isValidUTF8(text) && sendMessage(Opcode::kText, text); }

bool Connection::sendBinary(std::string_view data) { return sendMessage(Opcode::kBinary, data); }

bool Connection::sendPing(std::string_view payload) {
    if (closeSent_ || state_ == State::kClosed || payload.size() > kMaxControlPayload) return false;
    queueFrame(Opcode::kPing, payload, true);
    return true;
}

bool Connection::close(std::uint16_t code, std::string_view reason) {
    if (closeSent_ || state_ == State::kClosed) return false;
    queueFrame(Opcode::kClose, closePayload(code, reason), true);
    closeSent_ = true;
    state_ = State::kClosing;
    return true;
}

std::string Connection::takeOutput() { return std::exchange(output_, std::string()); }

Event Connection::fail(std::uint16_t code, std::string reason) {
    if (!closeSent_) {
        queueFrame(Opcode::kClose, closePayload(code, reason), true);
        closeSent_ = true;
    }
    state_ = State::kClosed;
    closeCode_ = code;
    closeReason_ = reason;
    messageOpcode_.reset();
    message_.clear();
    buffer_.clear();
    offset_ = 0;
    return Event{Event::Kind::kFailure, std::move(reason), code};
}

std::vector<Event> Connection::receive(std::string_view bytes) {
    std::vector<Event> events;
    if (state_ == State::kClosed) return events;
    buffer_.append(bytes);
    while (state_ != State::kClosed && parseOne(events)) {
    }
    // Drop what was parsed once per call, not once per frame.
    buffer_.erase(0, std::min(offset_, buffer_.size()));
    offset_ = 0;
    return events;
}

bool Connection::parseOne(std::vector<Event>& events) {
    auto failed = [&](std::uint16_t code, std::string reason) {
        events.push_back(fail(code, std::move(reason)));
        return true;
    };
    const auto* b = reinterpret_cast<const std::uint8_t*>(buffer_.data() + offset_);
    const std::size_t have = buffer_.size() - offset_;
    if (have < 2) return false;
    const bool fin = b[0] & 0x80;
    const std::uint8_t op = b[0] & 0x0F;
    const bool masked = b[1] & 0x80;
    const std::uint8_t len7 = b[1] & 0x7F;

    if (b[0] & 0x70) return failed(kProtocolError, "reserved bits set");
    if (op != 0x0 && op != 0x1 && op != 0x2 && op != 0x8 && op != 0x9 && op != 0xA)
        return failed(kProtocolError, "unknown opcode " + std::to_string(op));
    const bool control = op & 0x8;
    if (control && !fin) return failed(kProtocolError, "fragmented control frame");
    if (control && len7 > kMaxControlPayload)
        return failed(kProtocolError, "control frame longer than 125 bytes");
    if (role_ == Role::kClient && masked)
        return failed(kProtocolError, "masked frame from the server");
    if (role_ == Role::kServer && !masked)
        return failed(kProtocolError, "unmasked frame from the client");

    std::size_t header = 2;
    std::uint64_t length = len7;
    if (len7 == 126) {
        if (have < 4) return false;
        length = (std::uint64_t{b[2]} << 8) | b[3];
        header = 4;
        if (length < 126) return failed(kProtocolError, "length not in its shortest form");
    } else if (len7 == 127) {
        if (have < 10) return false;
        length = 0;
        for (int i = 2; i < 10; ++i) length = (length << 8) | b[i];
        header = 10;
        if (length >> 63) return failed(kProtocolError, "length with the top bit set");
        if (length <= 0xFFFF) return failed(kProtocolError, "length not in its shortest form");
    }
    // Refuse an oversized message before waiting for (and buffering) its bytes.
    if (!control) {
        std::uint64_t sofar = messageOpcode_ && op == 0x0 ? message_.size() : 0;
        if (length > limits_.maxMessageSize || sofar + length > limits_.maxMessageSize)
            return failed(kMessageTooBig, "message over the size limit");
    }
    if (masked) header += 4;
    if (have < header + length) return false;

    std::string payload = buffer_.substr(offset_ + header, static_cast<std::size_t>(length));
    if (masked) {
        const std::uint8_t* key = b + header - 4;
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(payload[i] ^ key[i & 3]);
    }
    offset_ += header + static_cast<std::size_t>(length);

    switch (static_cast<Opcode>(op)) {
        case Opcode::kContinuation:
        case Opcode::kText:
        case Opcode::kBinary: {
            if (op == 0x0 && !messageOpcode_)
                return failed(kProtocolError, "continuation without a message");
            if (op != 0x0 && messageOpcode_)
                return failed(kProtocolError, "new message inside a fragmented one");
            if (op != 0x0) {
                messageOpcode_ = static_cast<Opcode>(op);
                message_.clear();
                utf8Remaining_ = 0;
            }
            if (*messageOpcode_ == Opcode::kText) {
                UTF8Step step{utf8Remaining_, utf8Lower_, utf8Upper_};
                for (unsigned char c : payload)
                    if (!step(c)) return failed(kInvalidFramePayloadData, "text is not UTF-8");
                if (fin && utf8Remaining_ != 0)
                    return failed(kInvalidFramePayloadData, "text is not UTF-8");
            }
            message_ += payload;
            if (fin) {
                Event::Kind kind = *messageOpcode_ == Opcode::kText ? Event::Kind::kText : Event::Kind::kBinary;
                events.push_back(Event{kind, std::exchange(message_, std::string()), 0});
                messageOpcode_.reset();
            }
            return true;
        }
        case Opcode::kPing:
            if (!closeSent_) queueFrame(Opcode::kPong, payload, true);
            events.push_back(Event{Event::Kind::kPing, std::move(payload), 0});
            return true;
        case Opcode::kPong:
            events.push_back(Event{Event::Kind::kPong, std::move(payload), 0});
            return true;
        case Opcode::kClose: {
            std::uint16_t code = kNoStatusReceived;
            std::string reason;
            if (payload.size() == 1) return failed(kProtocolError, "close frame of one byte");
            if (payload.size() >= 2) {
                code = static_cast<std::uint16_t>((static_cast<std::uint8_t>(payload[0]) << 8) |
                                                  static_cast<std::uint8_t>(payload[1]));
                if (!isValidCloseCode(code))
                    return failed(kProtocolError, "invalid close code " + std::to_string(code));
                reason = payload.substr(2);
                if (!isValidUTF8(reason))
                    return failed(kInvalidFramePayloadData, "close reason is not UTF-8");
            }
            if (!closeSent_) {
                // Echo the peer's code; a close without one is answered with none.
                queueFrame(Opcode::kClose, code == kNoStatusReceived ? std::string() : closePayload(code, ""), true);
                closeSent_ = true;
            }
            closeCode_ = code;
            closeReason_ = reason;
            state_ = State::kClosed;
            buffer_.clear();
            offset_ = 0;
            events.push_back(Event{Event::Kind::kClose, std::move(reason), code});
            return true;
        }
    }
    return true;
}

}  // namespace platform::websocket
