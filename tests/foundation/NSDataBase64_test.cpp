#include "foundation/NSDataBase64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace Base64;

namespace {
NRVData bytes(std::string_view text) { return NRVData(text.begin(), text.end()); }
NRVData counting(std::size_t n) {
    NRVData d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return d;
}
}  // namespace

TEST(NSDataBase64, EncodesKnownVectors) {
    struct Case {
        const char* plain;
        const char* encoded;
    } cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(base64EncodedString(bytes(c.plain)), c.encoded) << c.plain;
        EXPECT_EQ(base64EncodedStringWithoutLineBreaks(bytes(c.plain)), c.encoded) << c.plain;
        EXPECT_EQ(dataFromBase64String(std::string_view(c.encoded)), bytes(c.plain)) << c.plain;
    }
}

TEST(NSDataBase64, LineBreaks) {
    const std::string of48 = base64EncodedString(counting(48));
    EXPECT_EQ(of48.size(), 64u);
    EXPECT_EQ(of48.find('\r'), std::string::npos);

    const std::string of49 = base64EncodedString(counting(49));
    ASSERT_EQ(of49.size(), 64u + 2 + 4);
    EXPECT_EQ(of49.substr(64, 2), "\r\n");
    EXPECT_EQ(of49.substr(68), "==");
    EXPECT_EQ(of49.substr(0, 64), of48);

    const std::string of96 = base64EncodedString(counting(96));
    EXPECT_EQ(of96.size(), 64u + 2 + 64);  // no break after the last full line
    EXPECT_EQ(base64EncodedStringWithoutLineBreaks(counting(49)).size(), 68u);
}

TEST(NSDataBase64, DecodingSkipsWhatItCannotUse) {
    const NRVData data = counting(100);
    const std::string clean = base64EncodedStringWithoutLineBreaks(data);
    const std::string wrapped = base64EncodedString(data);
    std::string unpadded = clean;
    while (unpadded.back() == '=') unpadded.pop_back();
    std::string blanks;
    for (char c : clean) (blanks += c) += ' ';
    for (const std::string& text : {clean, wrapped, unpadded, blanks}) EXPECT_EQ(dataFromBase64String(text), data) << text;

    EXPECT_TRUE(dataFromBase64String(std::nullopt).empty());
    EXPECT_TRUE(dataFromBase64String("").empty());
    EXPECT_TRUE(dataFromBase64String(" \r\n\t").empty());
    EXPECT_TRUE(dataFromBase64String("Zm9v\u00e9").empty());  // not pure ASCII
    EXPECT_EQ(dataFromBase64String("Zm9vY"), bytes("foo"));    // a lone leftover character is dropped
}

TEST(NSDataBase64, PlainFunctions) {
    const NRVData data = counting(49);
    std::size_t length = 0;
    char* text = newBase64Encode(data.data(), data.size(), true, &length);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(length, 70u);
    EXPECT_EQ(std::strlen(text), length);
    EXPECT_EQ(std::string(text), base64EncodedString(data));

    std::size_t decodedLength = 0;
    auto* decoded = static_cast<std::uint8_t*>(newBase64Decode(text, SIZE_MAX, &decodedLength));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(NRVData(decoded, decoded + decodedLength), data);
    std::free(decoded);
    std::free(text);

    decoded = static_cast<std::uint8_t*>(newBase64Decode("Zm9vYmFy", 4, &decodedLength));
    EXPECT_EQ(NRVData(decoded, decoded + decodedLength), bytes("foo"));
    std::free(decoded);
}

TEST(NSDataBase64, Digests) {
    EXPECT_EQ(sha1Hash({}), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1Hash(bytes("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha256Hash(bytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
