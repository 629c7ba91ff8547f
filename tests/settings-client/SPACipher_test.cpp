#include "settings-client/SPACipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> decodeAll(const std::string& text) {
    std::vector<std::uint8_t> out(3 * (text.size() / 4) + 1, 0xAA);
    out.resize(decode_base64(text.data(), out.data(), text.size()));
    return out;
}

TEST(SPACipher, RoundTripsTexts) {
    const std::string longest(65535, 'x');
    const std::string cases[] = {
        "", "a", "admin", "exactly8", "account.name@example.test",
        "M\xC3\xBCller \xE2\x82\xAC",           // two-byte and three-byte characters
        "\xF0\x9F\x98\x80 and \xF0\x90\x8D\x88",  // outside the Basic Multilingual Plane
        "tab\there\nline", longest,
    };
    for (const auto& text : cases) {
        const auto enciphered = encryptString(text);
        ASSERT_TRUE(enciphered.has_value()) << text.size();
        EXPECT_EQ(decryptString(*enciphered), text) << text.substr(0, 40);
    }
}

TEST(SPACipher, FramesHaveThePinnedShape) {
    // Count 0 and no blocks: two zero bytes.
    EXPECT_EQ(encryptString(""), "AAA=");
    EXPECT_EQ(decryptString(std::string("AAA=")), "");

    // One unit: count plus one block, 10 bytes, 16 characters.
    const auto one = encryptString("a").value();
    ASSERT_EQ(one.size(), 16u);
    EXPECT_EQ(one.substr(14), "==");
    const auto frame = decodeAll(one);
    EXPECT_EQ(frame[0], 0);
    EXPECT_EQ(frame[1], 1);

    // A surrogate pair counts as two units.
    EXPECT_EQ(decodeAll(encryptString("\xF0\x9F\x98\x80").value())[1], 2);

    // The tables and key are part of the stored format: a change here means
    // stored names no longer read back.
    EXPECT_EQ(encryptString("admin"), "AAXPgEeEiOCsE1fFxc7DjpME");
}

TEST(SPACipher, BlocksAreNotChained) {
    // "abcd" is four units, one 8-byte block; twice gives two equal blocks.
    const auto frame = decodeAll(encryptString("abcdabcd").value());
    ASSERT_GE(frame.size(), 18u);
    EXPECT_EQ(std::memcmp(frame.data() + 2, frame.data() + 10, 8), 0);
    EXPECT_NE(std::memcmp(frame.data() + 2, "\0a\0b\0c\0d", 8), 0);
}

TEST(SPACipher, RefusesWhatItCannotFrameOrRead) {
    EXPECT_EQ(decryptString(std::nullopt), "");
    EXPECT_EQ(decryptString(std::string()), "");

    const auto valid = encryptString("admin").value();
    // Trailing characters short of a group are ignored.
    EXPECT_EQ(decryptString(valid + "QQ"), "admin");

    // Failure is the empty text.
    struct Case { const char* name; std::string text; };
    const Case refused[] = {
        // Count 5 (10 bytes, 16 with padding) but only one block of text.
        {"count beyond the text", valid.substr(0, 16)},
        // Long enough by characters but not by decoded bytes.
        {"count beyond the decoded bytes", "AAEAAAAAAAA"},
        {"count 65535 with no units", "//8="},
        {"no full group", "AA"},
    };
    for (const auto& c : refused) EXPECT_EQ(decryptString(c.text), "") << c.name;

    EXPECT_EQ(encryptString(std::string(65536, 'x')), std::nullopt);
    EXPECT_EQ(encryptString(std::string(32768, '\0') + std::string(32768, 'y')), std::nullopt);
    EXPECT_EQ(encryptString("bad \xFF utf8"), std::nullopt);
    EXPECT_EQ(encryptString("\xED\xA0\x80"), std::nullopt);  // an encoded surrogate
}

// Values written by other programs may carry bytes above the 7-bit range:
// they count as 0, like every character outside the alphabet, and never make
// the whole value unreadable.
TEST(SPACipher, BytesAboveTheSevenBitRangeCountAsZero) {
    EXPECT_EQ(decodeAll("Z\xC3\xA9\xFF"), decodeAll("ZAAA"));
    EXPECT_EQ(decodeAll("\x80\xFFZg"), decodeAll("AAZg"));

    const std::string valid = encryptString("admin").value();
    ASSERT_EQ(valid.substr(0, 2), "AA");  // the count's high byte: value 0
    EXPECT_EQ(decryptString(std::string("\xC3").append(valid.substr(1))), "admin");
    EXPECT_EQ(decryptString(std::string("\xC3\xA9").append(valid.substr(2))), "admin");

    // In the enciphered area a high byte damages the text: wrong characters
    // of the same count, not a failure.
    const std::string damaged = decryptString(valid.substr(0, 8) + "\xC3\xA9" + valid.substr(10));
    EXPECT_FALSE(damaged.empty());
    EXPECT_NE(damaged, "admin");
}

TEST(SPACipher, DamagedUnitsBecomeReplacementCharacters) {
    // Build a frame by hand whose plain units are a lone high surrogate.
    std::uint8_t frame[10] = {0, 1, 0xD8, 0x00, 0, 0, 0, 0, 0, 0};
    spa_context context;
    spa_init(&context, SPAKey);
    std::memcpy(context.block, frame + 2, 8);
    spa_crypt(&context, 0);
    std::memcpy(frame + 2, context.block, 8);
    char text[17];
    encode_base64(frame, text, sizeof frame);
    EXPECT_EQ(decryptString(std::string(text)), "\xEF\xBF\xBD");
}

TEST(SPACipher, Base64MatchesTheStandardVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFF\xFE\xFD", "//79"},
    };
    for (const auto& [plain, encoded] : vectors) {
        std::vector<char> out(4 * ((plain.size() + 2) / 3) + 1, '#');
        EXPECT_EQ(encode_base64(reinterpret_cast<const std::uint8_t*>(plain.data()), out.data(), plain.size()),
                  encoded.size());
        EXPECT_STREQ(out.data(), encoded.c_str());
        const auto bytes = decodeAll(encoded);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<long>(plain.size())), plain);
    }
    char untouched = '#';
    EXPECT_EQ(encode_base64(nullptr, &untouched, 0), 0u);
    EXPECT_EQ(untouched, '#');
    // Padding and other characters outside the alphabet count as zero.
    EXPECT_EQ(decodeAll("Zg==").size(), 3u);
    EXPECT_EQ(decodeAll("Zg==")[1], 0);
    EXPECT_EQ(decodeAll("Z!*?")[0], decodeAll("ZAAA")[0]);
}

TEST(SPACipher, PrimitivesInvertAndWipe) {
    for (int row = 0; row < 4; ++row) {
        std::set<int> seen(spa_sbox(row), spa_sbox(row) + 256);
        EXPECT_EQ(seen.size(), 256u) << row;
    }
    EXPECT_EQ(spa_isweak(SPAKey), 0);

    spa_context context;
    spa_init(&context, SPAKey);
    EXPECT_EQ(context.keys[0][0], 'W');  // key[5]
    EXPECT_EQ(context.keys[3][7], 'K');  // key[6]

    std::uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t copy[16];
    std::memcpy(copy, data, 16);
    spa_cbcenc(&context, data);
    spa_cbcenc(&context, data + 8);
    EXPECT_NE(std::memcmp(data, data + 8, 8), 0);  // chained: equal blocks differ
    spa_cbcdec(&context, nullptr);
    spa_cbcdec(&context, data);
    spa_cbcdec(&context, data + 8);
    EXPECT_EQ(std::memcmp(data, copy, 16), 0);

    spa_sanitise(&context);
    spa_context zero;
    const std::uint8_t zeroKey[8] = {};
    std::memset(&zero, 0, sizeof zero);
    spa_setk(&zero, zeroKey);
    EXPECT_EQ(std::memcmp(&context, &zero, sizeof zero), 0);
}

}  // namespace
