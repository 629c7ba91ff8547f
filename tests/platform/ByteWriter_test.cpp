#include "platform/bytes/ByteWriter.h"

#include <gtest/gtest.h>

namespace {

using platform::bytes::BigEndianWriter;
using platform::bytes::LittleEndianWriter;
using Bytes = std::vector<std::uint8_t>;

template <class Writer>
Bytes written(void (*write)(Writer&)) {
    Bytes out;
    Writer w(out);
    write(w);
    return out;
}

// The encodings on disk and on the wire depend on these exact layouts.
TEST(ByteWriter, LaysOutEachWidthInItsByteOrder) {
    struct Case {
        const char* name;
        Bytes bytes;
        Bytes expected;
    } cases[] = {
        {"u8", written<BigEndianWriter>([](BigEndianWriter& w) { w.u8(0xab); }), {0xab}},
        {"u32 big", written<BigEndianWriter>([](BigEndianWriter& w) { w.u32(0x01020304); }), {1, 2, 3, 4}},
        {"u32 little", written<LittleEndianWriter>([](LittleEndianWriter& w) { w.u32(0x01020304); }), {4, 3, 2, 1}},
        {"u64 big", written<BigEndianWriter>([](BigEndianWriter& w) { w.u64(0x0102030405060708); }),
         {1, 2, 3, 4, 5, 6, 7, 8}},
        {"u64 little", written<LittleEndianWriter>([](LittleEndianWriter& w) { w.u64(0x0102030405060708); }),
         {8, 7, 6, 5, 4, 3, 2, 1}},
        {"f64 big", written<BigEndianWriter>([](BigEndianWriter& w) { w.f64(-2.0); }),
         {0xc0, 0, 0, 0, 0, 0, 0, 0}},
        {"f64 little", written<LittleEndianWriter>([](LittleEndianWriter& w) { w.f64(-2.0); }),
         {0, 0, 0, 0, 0, 0, 0, 0xc0}},
        {"bytes", written<LittleEndianWriter>([](LittleEndianWriter& w) { w.bytes("ab", 2); }), {'a', 'b'}},
        {"u32At big", written<BigEndianWriter>([](BigEndianWriter& w) { w.u32(0), w.u8(9), w.u32At(0, 5); }),
         {0, 0, 0, 5, 9}},
        {"u32At little", written<LittleEndianWriter>([](LittleEndianWriter& w) { w.u8(9), w.u32(0), w.u32At(1, 5); }),
         {9, 5, 0, 0, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.bytes, c.expected) << c.name;
}

TEST(ByteWriter, AppendsToWhatTheVectorHolds) {
    Bytes out{7};
    BigEndianWriter w(out);
    w.u32(1);
    EXPECT_EQ(out, (Bytes{7, 0, 0, 0, 1}));
}

}  // namespace
