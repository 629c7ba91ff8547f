#include "foundation/NSDataExtensions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "support/TestSupport.h"

using namespace NSDataExtensions;

namespace {

NRVData bytes(std::string_view text) { return NRVData(text.begin(), text.end()); }

NRVData randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    NRVData data(count);
    for (auto& b : data) b = static_cast<std::uint8_t>(generator());
    return data;
}

void writeBytes(const std::string& path, const NRVData& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

NRVData readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return NRVData(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(NSDataExtensions, EmptinessTests) {
    const NRVData empty, one{1};
    EXPECT_TRUE(isNilOrEmpty(nullptr));
    EXPECT_TRUE(isNilOrEmpty(&empty));
    EXPECT_FALSE(isNilOrEmpty(&one));
    EXPECT_FALSE(hasContent(nullptr));
    EXPECT_FALSE(hasContent(&empty));
    EXPECT_TRUE(hasContent(&one));
}

TEST(NSDataExtensions, HexForms) {
    struct Case {
        const char* name;
        NRVData data;
        const char* hex;
    } cases[] = {
        {"empty", {}, "<>"},
        {"one", {0xAB}, "<ab>"},
        {"four", {1, 2, 3, 4}, "<01020304>"},
        {"five", {1, 2, 3, 4, 5}, "<01020304 05>"},
        {"eight", {0xFF, 0, 0x10, 0x7f, 0xDE, 0xAD, 0xBE, 0xEF}, "<ff00107f deadbeef>"},
        {"nine", {0, 0, 0, 0, 0, 0, 0, 0, 9}, "<00000000 00000000 09>"},
    };
    for (const auto& c : cases) EXPECT_EQ(hexRepresentation(c.data), c.hex) << c.name;
    const NRVData empty, five{1, 2, 3, 4, 5};
    EXPECT_EQ(hexDescription(nullptr), "(null)");
    EXPECT_EQ(hexDescription(&empty), "(null)");
    EXPECT_EQ(hexDescription(&five), "<01020304 05>");
}

TEST(NSDataExtensions, GzipRoundTrips) {
    struct Case {
        const char* name;
        NRVData data;
    } cases[] = {
        {"empty", {}},
        {"short text", bytes("hello, gzip")},
        {"more than one output step", NRVData(100000, 'x')},
        {"incompressible", randomBytes(70000, 7)},
    };
    for (const auto& c : cases) {
        auto packed = gzipCompress(c.data);
        ASSERT_TRUE(packed) << c.name;
        ASSERT_GE(packed->size(), 18u) << c.name;
        EXPECT_EQ((*packed)[0], 0x1f) << c.name;
        EXPECT_EQ((*packed)[1], 0x8b) << c.name;
        auto unpacked = gzipDecompress(*packed);
        ASSERT_TRUE(unpacked) << c.name;
        EXPECT_EQ(*unpacked, c.data) << c.name;
    }
}

TEST(NSDataExtensions, GzipDecompressRefusesForeignAndCutStreams) {
    const NRVData original = randomBytes(50000, 3);
    const NRVData packed = *gzipCompress(original);
    struct Case {
        const char* name;
        NRVData data;
    } cases[] = {
        {"empty", {}},
        {"not gzip", bytes("plain text, no gzip header at all")},
        {"zlib wrapper, not gzip", {0x78, 0x9c, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}},
        {"header only", NRVData(packed.begin(), packed.begin() + 10)},
        {"cut in the middle", NRVData(packed.begin(), packed.begin() + static_cast<long>(packed.size() / 2))},
        {"trailer missing", NRVData(packed.begin(), packed.end() - 8)},
        {"last byte missing", NRVData(packed.begin(), packed.end() - 1)},
    };
    for (const auto& c : cases) EXPECT_FALSE(gzipDecompress(c.data)) << c.name;

    NRVData corrupt = packed;
    corrupt[corrupt.size() - 6] ^= 0xFF;  // the CRC no longer matches
    EXPECT_FALSE(gzipDecompress(corrupt));
}

TEST(NSDataExtensions, GzipInteroperatesWithTheGzipProgram) {
    testsupport::TempDir dir;
    const NRVData original = randomBytes(40000, 11);
    NRVData text;
    for (int i = 0; i < 5000; ++i) {
        auto line = bytes("line " + std::to_string(i) + " of a log extract\n");
        text.insert(text.end(), line.begin(), line.end());
    }
    for (const NRVData* data : {&original, static_cast<const NRVData*>(&text)}) {
        writeBytes(dir / "ours.gz", *gzipCompress(*data));
        auto test = testsupport::runProgram({"/bin/sh", "-c", "gzip -t '" + (dir / "ours.gz") + "'"});
        EXPECT_EQ(test.status, 0) << test.err;
        auto back = testsupport::runProgram({"/bin/sh", "-c", "gzip -dc '" + (dir / "ours.gz") + "' > '" + (dir / "ours") + "'"});
        EXPECT_EQ(back.status, 0);
        EXPECT_EQ(readBytes(dir / "ours"), *data);

        writeBytes(dir / "theirs", *data);
        auto made = testsupport::runProgram({"/bin/sh", "-c", "gzip -c '" + (dir / "theirs") + "' > '" + (dir / "theirs.gz") + "'"});
        ASSERT_EQ(made.status, 0);
        auto unpacked = gzipDecompress(readBytes(dir / "theirs.gz"));
        ASSERT_TRUE(unpacked);
        EXPECT_EQ(*unpacked, *data);
    }
}

// Needs about 10 GiB of memory and some seconds; run with NRV_LARGE_TESTS=1.
TEST(NSDataExtensions, GzipHandlesMoreThanFourGiB) {
    if (!std::getenv("NRV_LARGE_TESTS")) GTEST_SKIP() << "set NRV_LARGE_TESTS=1 to run";
    const std::size_t size = (std::size_t{4} << 30) + 12345;
    NRVData big(size, 0);
    big[size - 1] = 0x42;
    auto packed = gzipCompress(big);
    ASSERT_TRUE(packed);
    auto unpacked = gzipDecompress(*packed);
    big.clear();
    big.shrink_to_fit();
    ASSERT_TRUE(unpacked);
    EXPECT_EQ(unpacked->size(), size);
    EXPECT_EQ(unpacked->back(), 0x42);
}

TEST(NSDataExtensions, CipherRoundTripAndErrors) {
    for (std::size_t length : {0u, 1u, 15u, 16u, 17u, 1000u}) {
        const NRVData plain = randomBytes(length, static_cast<unsigned>(length));
        NRVError error;
        auto sealed = aesEncrypt(plain, &error);
        ASSERT_TRUE(sealed) << length;
        EXPECT_EQ(sealed->size(), (length / 16 + 1) * 16) << length;
        auto opened = aesDecrypt(*sealed, &error);
        ASSERT_TRUE(opened) << length;
        EXPECT_EQ(*opened, plain) << length;
    }
    NRVError error;
    EXPECT_FALSE(aesDecrypt(bytes("not a multiple of16"), &error));
    EXPECT_EQ(error.domain, "kEncryptionError");
    EXPECT_NE(error.code, 0);

    NRVData sealed = *aesEncrypt(bytes("some secret"));
    sealed.back() ^= 0x01;  // spoils the padding
    NRVError paddingError;
    EXPECT_FALSE(aesDecrypt(sealed, &paddingError));
    EXPECT_EQ(paddingError.domain, "kEncryptionError");
    EXPECT_FALSE(aesDecrypt(sealed));  // no out-parameter: still no crash
}
