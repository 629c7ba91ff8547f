#include "platform/bytes/ByteReader.h"

#include <gtest/gtest.h>

#include "platform/bytes/ByteWriter.h"

namespace {

using platform::bytes::BigEndianReader;
using platform::bytes::LittleEndianReader;
using Bytes = std::vector<std::uint8_t>;

TEST(ByteReader, ReadsEachWidthInItsByteOrder) {
    const Bytes bytes{1, 2, 3, 4, 5, 6, 7, 8};
    BigEndianReader big(bytes);
    LittleEndianReader little(bytes);
    std::uint32_t b32 = 0, l32 = 0;
    ASSERT_TRUE(big.u32(&b32));
    ASSERT_TRUE(little.u32(&l32));
    EXPECT_EQ(b32, 0x01020304u);
    EXPECT_EQ(l32, 0x04030201u);
    std::uint8_t b8 = 0;
    ASSERT_TRUE(big.u8(&b8));
    EXPECT_EQ(b8, 5);
    EXPECT_EQ(big.remaining(), 3u);

    std::uint64_t b64 = 0, l64 = 0;
    ASSERT_TRUE(BigEndianReader(bytes).u64(&b64));
    ASSERT_TRUE(LittleEndianReader(bytes).u64(&l64));
    EXPECT_EQ(b64, 0x0102030405060708u);
    EXPECT_EQ(l64, 0x0807060504030201u);
}

TEST(ByteReader, ReadsBackWhatTheWriterWrote) {
    Bytes out;
    platform::bytes::LittleEndianWriter w(out);
    w.u8(0xfe);
    w.u32(0xdeadbeef);
    w.u64(~std::uint64_t{0} - 1);
    w.f64(0.1);
    w.bytes("xyz", 3);

    LittleEndianReader r(out);
    std::uint8_t a = 0;
    std::uint32_t b = 0;
    std::uint64_t c = 0;
    double d = 0;
    char text[3];
    ASSERT_TRUE(r.u8(&a) && r.u32(&b) && r.u64(&c) && r.f64(&d) && r.bytes(text, 3));
    EXPECT_EQ(a, 0xfe);
    EXPECT_EQ(b, 0xdeadbeefu);
    EXPECT_EQ(c, ~std::uint64_t{0} - 1);
    EXPECT_EQ(d, 0.1);
    EXPECT_EQ(std::string(text, 3), "xyz");
    EXPECT_TRUE(r.atEnd());
}

// Untrusted input: a read past the end answers false, consumes nothing and
// writes nothing, so the caller can report where it stopped.
TEST(ByteReader, ReadsPastTheEndFailAndConsumeNothing) {
    const Bytes bytes{1, 2, 3};
    struct Case {
        const char* name;
        bool (*read)(BigEndianReader&);
    } cases[] = {
        {"u32", [](BigEndianReader& r) { std::uint32_t v = 7; return r.u32(&v) || v != 7; }},
        {"u64", [](BigEndianReader& r) { std::uint64_t v = 7; return r.u64(&v) || v != 7; }},
        {"f64", [](BigEndianReader& r) { double v = 7; return r.f64(&v) || v != 7; }},
        {"bytes", [](BigEndianReader& r) { std::uint8_t v[4] = {}; return r.bytes(v, 4); }},
        {"take", [](BigEndianReader& r) { std::span<const std::uint8_t> s; return r.take(4, &s) || !s.empty(); }},
        {"take of a huge length", [](BigEndianReader& r) { std::span<const std::uint8_t> s; return r.take(SIZE_MAX, &s); }},
    };
    for (const Case& c : cases) {
        BigEndianReader r(bytes);
        EXPECT_FALSE(c.read(r)) << c.name;
        EXPECT_EQ(r.remaining(), 3u) << c.name;
    }
    BigEndianReader empty(std::span<const std::uint8_t>{});
    std::uint8_t v = 0;
    EXPECT_FALSE(empty.u8(&v));
    EXPECT_TRUE(empty.atEnd());
}

TEST(ByteReader, TakeGivesTheBytesInPlace) {
    const Bytes bytes{9, 8, 7, 6};
    BigEndianReader r(bytes);
    std::uint8_t first = 0;
    std::span<const std::uint8_t> rest;
    ASSERT_TRUE(r.u8(&first) && r.take(3, &rest));
    EXPECT_EQ(rest.data(), bytes.data() + 1);
    EXPECT_EQ(rest.size(), 3u);
    EXPECT_TRUE(r.atEnd());
}

}  // namespace
