#include "platform/websocket/WebSocketFrame.h"

#include <gtest/gtest.h>

namespace {

namespace ws = platform::websocket;
using Kind = ws::Event::Kind;

std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out.push_back(static_cast<char>(b));
    return out;
}

// What a server-role peer reads out of a client's output (and the reverse).
std::vector<ws::Event> readBy(ws::Role role, const std::string& wire) {
    ws::Connection peer(role);
    return peer.receive(wire);
}

TEST(WebSocketFrame, KnownEncodings) {
    const std::array<std::uint8_t, 4> key{0x37, 0xfa, 0x21, 0x3d};
    struct Row {
        const char* name;
        std::string encoded;
        std::string expected;
    };
    const Row rows[] = {
        {"unmasked text", ws::encodeFrame(ws::Opcode::kText, "Hello", true, std::nullopt),
         bytes({0x81, 0x05, 'H', 'e', 'l', 'l', 'o'})},
        {"masked text", ws::encodeFrame(ws::Opcode::kText, "Hello", true, key),
         bytes({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58})},
        {"first fragment", ws::encodeFrame(ws::Opcode::kText, "Hel", false, std::nullopt),
         bytes({0x01, 0x03, 'H', 'e', 'l'})},
        {"ping", ws::encodeFrame(ws::Opcode::kPing, "", true, std::nullopt), bytes({0x89, 0x00})},
        {"256 bytes", ws::encodeFrame(ws::Opcode::kBinary, std::string(256, 'x'), true, std::nullopt).substr(0, 4),
         bytes({0x82, 0x7e, 0x01, 0x00})},
        {"64 KiB", ws::encodeFrame(ws::Opcode::kBinary, std::string(65536, 'x'), true, std::nullopt).substr(0, 10),
         bytes({0x82, 0x7f, 0, 0, 0, 0, 0, 1, 0, 0})},
    };
    for (const auto& row : rows) EXPECT_EQ(row.encoded, row.expected) << row.name;
    EXPECT_EQ(ws::handshake::acceptValue("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketFrame, MessagesTravelBothWaysFragmentedAndByteByByte) {
    ws::Limits small;
    small.fragmentSize = 3;
    ws::Connection client(ws::Role::kClient, small);
    ws::Connection server(ws::Role::kServer, small);
    const std::string text = "h\xC3\xA9llo w\xE2\x82\xACrld";  // multi-byte characters cut by the fragments
    const std::string binary("\x00\x01\xff\x80\x7f", 5);
    ASSERT_TRUE(client.sendText(text));
    ASSERT_TRUE(client.sendBinary(binary));
    ASSERT_TRUE(client.sendPing("p"));
    std::string wire = client.takeOutput();
    EXPECT_EQ(static_cast<std::uint8_t>(wire[1]) & 0x80, 0x80) << "the client masks";

    std::vector<ws::Event> got;
    for (char c : wire)
        for (auto& e : server.receive(std::string_view(&c, 1))) got.push_back(std::move(e));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].kind, Kind::kText);
    EXPECT_EQ(got[0].payload, text);
    EXPECT_EQ(got[1].kind, Kind::kBinary);
    EXPECT_EQ(got[1].payload, binary);
    EXPECT_EQ(got[2].kind, Kind::kPing);

    // The server answered the ping; its frames are not masked.
    ASSERT_TRUE(server.sendText("back"));
    std::string reply = server.takeOutput();
    EXPECT_EQ(static_cast<std::uint8_t>(reply[1]) & 0x80, 0);
    std::vector<ws::Event> back = client.receive(reply);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].kind, Kind::kPong);
    EXPECT_EQ(back[0].payload, "p");
    EXPECT_EQ(back[1].kind, Kind::kText);
    EXPECT_EQ(back[1].payload, "back");  // sent in two fragments of 3 and 1 bytes
}

TEST(WebSocketFrame, ProtocolBreachesCloseWithTheirCode) {
    auto hdr = [](int b0, int b1) { return bytes({b0, b1}); };
    struct Row {
        const char* name;
        std::string wire;
        std::uint16_t code;
    };
    const Row rows[] = {
        {"masked frame from the server", bytes({0x81, 0x81, 1, 2, 3, 4, 'x'}), 1002},
        {"reserved bit", hdr(0xC1, 0x00), 1002},
        {"unknown opcode", hdr(0x83, 0x00), 1002},
        {"control frame over 125 bytes", bytes({0x89, 0x7e, 0x00, 0x7e}) + std::string(126, 'x'), 1002},
        {"fragmented ping", hdr(0x09, 0x00), 1002},
        {"length over the limit", bytes({0x82, 0x7f, 0, 0, 0, 0, 0x40, 0, 0, 0}), 1009},
        {"length with the top bit", bytes({0x82, 0x7f, 0x80, 0, 0, 0, 0, 0, 0, 0}), 1002},
        {"length not in shortest form", bytes({0x82, 0x7e, 0x00, 0x05}) + "hello", 1002},
        {"fragments over the limit", bytes({0x02, 0x7e, 0x02, 0x00}) + std::string(512, 'x') +
                                         bytes({0x80, 0x7e, 0x02, 0x01}),
         1009},
        {"invalid UTF-8 text", bytes({0x81, 0x02, 0xC3, 0x28}), 1007},
        {"overlong UTF-8", bytes({0x81, 0x02, 0xC0, 0xAF}), 1007},
        {"surrogate in UTF-8", bytes({0x81, 0x03, 0xED, 0xA0, 0x80}), 1007},
        {"text cut inside a character", bytes({0x01, 0x01, 0xE2, 0x80, 0x01, 0x82}), 1007},
        {"continuation without a message", hdr(0x80, 0x00), 1002},
        {"new message inside a fragmented one", bytes({0x01, 0x01, 'a', 0x81, 0x01, 'b'}), 1002},
        {"close of one byte", bytes({0x88, 0x01, 0x03}), 1002},
        {"close code 1005 on the wire", bytes({0x88, 0x02, 0x03, 0xED}), 1002},
        {"close code 999", bytes({0x88, 0x02, 0x03, 0xE7}), 1002},
        {"close reason not UTF-8", bytes({0x88, 0x03, 0x03, 0xE8, 0xFF}), 1007},
    };
    ws::Limits limits;
    limits.maxMessageSize = 1024;
    for (const auto& row : rows) {
        ws::Connection client(ws::Role::kClient, limits);
        std::vector<ws::Event> events = client.receive(row.wire);
        ASSERT_FALSE(events.empty()) << row.name;
        EXPECT_EQ(events.back().kind, Kind::kFailure) << row.name;
        EXPECT_EQ(events.back().code, row.code) << row.name;
        EXPECT_EQ(client.state(), ws::Connection::State::kClosed) << row.name;
        EXPECT_EQ(client.closeCode(), row.code) << row.name;
        // What went back to the server is a close frame with that code.
        std::vector<ws::Event> seen = readBy(ws::Role::kServer, client.takeOutput());
        ASSERT_EQ(seen.size(), 1u) << row.name;
        EXPECT_EQ(seen[0].kind, Kind::kClose) << row.name;
        EXPECT_EQ(seen[0].code, row.code) << row.name;
        EXPECT_TRUE(client.receive(bytes({0x81, 0x01, 'x'})).empty()) << "nothing after the failure";
    }
    // From the other side, an unmasked frame from a client is the breach.
    ws::Connection server(ws::Role::kServer);
    auto events = server.receive(bytes({0x81, 0x01, 'x'}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, 1002);
}

TEST(WebSocketFrame, CloseHandshake) {
    ws::Connection client(ws::Role::kClient);
    ws::Connection server(ws::Role::kServer);
    ASSERT_TRUE(client.close(ws::kNormalClosure, "bye"));
    EXPECT_EQ(client.state(), ws::Connection::State::kClosing);
    EXPECT_FALSE(client.sendText("late"));
    EXPECT_FALSE(client.close());

    auto atServer = server.receive(client.takeOutput());
    ASSERT_EQ(atServer.size(), 1u);
    EXPECT_EQ(atServer[0].kind, Kind::kClose);
    EXPECT_EQ(atServer[0].code, 1000);
    EXPECT_EQ(atServer[0].payload, "bye");
    EXPECT_EQ(server.state(), ws::Connection::State::kClosed);

    auto atClient = client.receive(server.takeOutput());  // the echoed close
    ASSERT_EQ(atClient.size(), 1u);
    EXPECT_EQ(atClient[0].code, 1000);
    EXPECT_EQ(client.state(), ws::Connection::State::kClosed);
    EXPECT_TRUE(client.takeOutput().empty()) << "no second close";

    // A close without a code is answered without one.
    ws::Connection other(ws::Role::kClient);
    auto bare = other.receive(bytes({0x88, 0x00}));
    ASSERT_EQ(bare.size(), 1u);
    EXPECT_EQ(bare[0].code, ws::kNoStatusReceived);
    std::vector<ws::Event> reply = readBy(ws::Role::kServer, other.takeOutput());
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].code, ws::kNoStatusReceived);

    // A long reason is cut at a character boundary within 125 bytes.
    std::string reason;
    for (int i = 0; i < 60; ++i) reason += "\xC3\xA9";
    std::string payload = ws::closePayload(1000, reason);
    EXPECT_LE(payload.size(), 125u);
    EXPECT_TRUE(ws::isValidUTF8(payload.substr(2)));
    EXPECT_FALSE(client.sendPing(std::string(126, 'x')));
}

TEST(WebSocketFrame, OpeningHandshake) {
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    std::string request = ws::handshake::clientRequest("127.0.0.1:8080", "/echo?x=1", key, {{"Origin", "test"}});
    EXPECT_EQ(request,
              "GET /echo?x=1 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nOrigin: test\r\n\r\n");
    EXPECT_EQ(ws::handshake::clientRequest("h", "/", key, {{"X", "a\r\nInjected: 1"}}), "");
    EXPECT_EQ(ws::handshake::newKey().size(), 24u);
    EXPECT_NE(ws::handshake::newKey(), ws::handshake::newKey());

    const std::string good =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n"
        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    EXPECT_EQ(ws::handshake::responseHeadLength(good + "\x81"), good.size());
    EXPECT_EQ(ws::handshake::responseHeadLength("HTTP/1.1 101 X\r\n"), 0u);
    struct Row {
        std::string head;
        std::optional<std::string> problem;
    };
    const Row rows[] = {
        {good, std::nullopt},
        {"HTTP/1.1 403 Forbidden\r\n\r\n", "the server answered 403 instead of switching protocols"},
        {"HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: x\r\n\r\n",
         "the response does not accept the key"},
        {"HTTP/1.1 101 OK\r\nConnection: Upgrade\r\n\r\n", "the response does not upgrade to websocket"},
        {good.substr(0, good.size() - 2) + "Sec-WebSocket-Extensions: permessage-deflate\r\n\r\n",
         "the server chose an extension not offered"},
        {"garbage\r\n\r\n", "the response has no status line"},
        {"HTTP/1.1 101 OK\r\nX-Big: " + std::string(ws::handshake::kMaxHeadSize, 'a') + "\r\n\r\n",
         "the response head is too large"},
    };
    for (const auto& row : rows) EXPECT_EQ(ws::handshake::checkResponse(row.head, key), row.problem) << row.head.substr(0, 40);
}

}  // namespace
