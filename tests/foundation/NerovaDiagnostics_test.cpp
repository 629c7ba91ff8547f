#include "foundation/NerovaDiagnostics.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "foundation/sha256.h"
#include "platform/log/LogStore.h"

namespace plog = platform::log;

namespace {

class NerovaDiagnosticsTest : public ::testing::Test {
protected:
    void SetUp() override { plog::setSink(capture); }
    void TearDown() override { plog::setSink(nullptr); }

    std::vector<std::string> messages() const {
        std::vector<std::string> result;
        for (const auto& r : capture->records()) result.push_back(r.message);
        return result;
    }

    std::shared_ptr<plog::CaptureSink> capture = std::make_shared<plog::CaptureSink>();
};

std::string hex(const unsigned char* bytes, std::size_t size) {
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

std::string opensslHex(const std::string& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    return hex(digest, sizeof digest);
}

std::string ourHex(const std::string& data) {
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256(reinterpret_cast<const unsigned char*>(data.data()), static_cast<uint32_t>(data.size()), digest);
    return hex(digest, sizeof digest);
}

std::string patterned(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 31 + 7);
    return data;
}

}  // namespace

TEST_F(NerovaDiagnosticsTest, BlankOrNilTagOrFormatLogsNothing) {
    const std::string blanks = "   ", newline = "\n", zep = "zep", format = "%s";
    nerova_diagnostics("   ", "%s", "text");
    nerova_diagnostics("zep", "\n", "text");
    nerova_diagnostics("", "%s", "text");
    nerova_diagnostics(nullptr, "%s", "text");
    nerova_diagnostics("zep", nullptr);
    nerova_diagnostics("z\xff\xfe", "%s", "text");       // not UTF-8: a nil string object
    nerova_diagnostics("zep", "%s \xed\xa0\x80", "text");  // an encoded surrogate is not UTF-8 either
    NerovaDiagnostics(&blanks, &format, "text");
    NerovaDiagnostics(&zep, &newline, "text");
    NerovaDiagnostics(nullptr, &format, "text");
    NerovaDiagnostics(&zep, nullptr);
    EXPECT_TRUE(messages().empty());
}

TEST_F(NerovaDiagnosticsTest, LogsTagColonTextOnTheDiagnosticsCategory) {
    const std::string zep = "zep", format = "%s";
    nerova_diagnostics("zep", "%s", "text");
    NerovaDiagnostics(&zep, &format, "from the variadic form");
    nerova_diagnostics("zep", "%s", "");  // empty text is still a line

    auto records = capture->records();
    ASSERT_EQ(records.size(), 3u);
    for (const auto& r : records) {
        EXPECT_EQ(r.subsystem, "com.nerova.rivovovuvev");
        EXPECT_EQ(r.category, "diagnostics");
        EXPECT_EQ(r.level, plog::Level::Default);
    }
    EXPECT_EQ(records[0].message, "zep : text");
    EXPECT_EQ(records[1].message, "zep : from the variadic form");
    EXPECT_EQ(records[2].message, "zep : ");
}

TEST_F(NerovaDiagnosticsTest, AppliesPrintfConversionsAndObjectStrings) {
    nerova_diagnostics("t", "%d|%5.2f|%lld|%@|%%|%x|%-4s|%c|%zu|%*d|%.3s|%+i|%#o|%hhd|%-*d|%.*s|%Lg|%lu", -7, 3.14159,
                       1LL << 40, "obj", 255u, "ab", 'Z', std::size_t{42}, 4, 9, "abcdef", 5, 8u, 300, -3, 2, 2,
                       "xyz", 2.5L, 123456789UL);
    nerova_diagnostics("t", "%{public}@ and %{private}s; %@ %s", "a", "b", nullptr, nullptr);
    nerova_diagnostics("t", "%.2@|%5.3s|", "\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9");  // precision never splits a character
    const void* pointer = reinterpret_cast<const void*>(0x1234);
    nerova_diagnostics("t", "%p", pointer);

    char expectedPointer[32];
    std::snprintf(expectedPointer, sizeof expectedPointer, "t : %p", pointer);
    const std::vector<std::string> expected = {
        "t : -7| 3.14|1099511627776|obj|%|ff|ab  |Z|42|   9|abc|+5|010|44|2  |xy|2.5|123456789",
        "t : a and b; (null) (null)",
        "t : \xc3\xa9|  \xc3\xa9t|",  // width counts bytes
        expectedPointer,
    };
    EXPECT_EQ(messages(), expected);
}

TEST_F(NerovaDiagnosticsTest, FormatThatCannotBeAppliedLogsOneErrorLine) {
    struct Case {
        const char* format;
    } cases[] = {{"%y"}, {"count %n"}, {"%1$s"}, {"%ls"}, {"%C"}, {"%{public"}, {"%Ld"}, {"%99999999d"}};
    for (const auto& c : cases) {
        capture->clear();
        nerova_diagnostics("zep", c.format);
        auto records = capture->records();
        ASSERT_EQ(records.size(), 1u) << c.format;
        EXPECT_EQ(records[0].level, plog::Level::Error) << c.format;
        EXPECT_EQ(records[0].category, "diagnostics") << c.format;
        const std::string prefix = std::string("Failed to create log with format: ") + c.format + "; exception: ";
        EXPECT_EQ(records[0].message.rfind(prefix, 0), 0u) << records[0].message;
        EXPECT_GT(records[0].message.size(), prefix.size()) << c.format;
    }
}

TEST_F(NerovaDiagnosticsTest, LoneTrailingPercentIsText) {
    nerova_diagnostics("zep", "%d%% done, 100%", 50);
    auto records = capture->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, plog::Level::Default);
    EXPECT_EQ(records[0].message, "zep : 50% done, 100%");
}

TEST(NerovaDiagnosticsSource, BaseNameOfSourcePath) {
    struct Case {
        const char* path;
        const char* expected;
    } cases[] = {
        {"/src/foundation/NerovaDiagnostics.cpp", "NerovaDiagnostics.cpp"},
        {"dir/file.m", "file.m"},
        {"file.m", "file.m"},
        {"/src/foundation/", ""},
        {"", ""},
        {nullptr, ""},
    };
    for (const auto& c : cases) {
        const char* result = nerova_diagnostics_srcbasename(c.path);
        ASSERT_NE(result, nullptr);
        EXPECT_STREQ(result, c.expected) << (c.path ? c.path : "NULL");
        if (c.path) {  // a pointer into the argument, not a copy
            EXPECT_GE(result, c.path);
            EXPECT_LE(result, c.path + std::strlen(c.path));
        }
    }
}

TEST(NerovaDiagnosticsDigest, WritesAtMostOutLengthCharactersAndAnswers64) {
    const std::string data = "usernames.txt";
    const std::string full = opensslHex(data);
    struct Case {
        uint32_t outLength;
    } cases[] = {{64}, {0}, {10}, {9}, {1}, {100}};
    for (const auto& c : cases) {
        std::string buffer(128, '#');
        EXPECT_EQ(nerova_diagnostics_digest(buffer.data(), c.outLength, data.data(), static_cast<uint32_t>(data.size())),
                  64u);
        const std::size_t written = std::min<std::size_t>(c.outLength, 64);
        EXPECT_EQ(buffer.substr(0, written), full.substr(0, written)) << c.outLength;
        EXPECT_EQ(buffer.substr(written), std::string(128 - written, '#')) << c.outLength;
    }
    EXPECT_EQ(nerova_diagnostics_digest(nullptr, 0, nullptr, 0), 64u);
}

TEST(Sha256, MatchesReferenceAtBlockBoundaries) {
    for (std::size_t size : {0, 1, 3, 55, 56, 63, 64, 65, 119, 120, 127, 128, 129, 1000}) {
        const std::string data = patterned(size);
        EXPECT_EQ(ourHex(data), opensslHex(data)) << "length " << size;
        std::string text(64, '?');
        nerova_diagnostics_digest(text.data(), 64, data.data(), static_cast<uint32_t>(size));
        EXPECT_EQ(text, opensslHex(data)) << "length " << size;
    }
    EXPECT_EQ(ourHex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, PiecewiseFeedingMatchesOneCall) {
    const std::string data = patterned(5000);
    const std::string whole = ourHex(data);
    ASSERT_EQ(whole, opensslHex(data));

    std::mt19937 random(20261209);
    const std::vector<std::vector<uint32_t>> fixedPlans = {{1}, {63, 1}, {64}, {65}, {0, 55, 0, 9}, {127, 128}};
    for (int plan = 0; plan < 12; ++plan) {
        std::vector<uint32_t> pieces = plan < static_cast<int>(fixedPlans.size()) ? fixedPlans[plan] : std::vector<uint32_t>{};
        if (pieces.empty())
            for (int i = 0; i < 50; ++i) pieces.push_back(random() % 200);
        sha256_ctx ctx;
        sha256_init(&ctx);
        std::size_t offset = 0;
        for (std::size_t i = 0; offset < data.size(); ++i) {
            const uint32_t piece = static_cast<uint32_t>(std::min<std::size_t>(pieces[i % pieces.size()], data.size() - offset));
            sha256_update(&ctx, reinterpret_cast<const unsigned char*>(data.data()) + offset, piece);
            offset += piece;
        }
        unsigned char digest[SHA256_DIGEST_SIZE];
        sha256_final(&ctx, digest);
        EXPECT_EQ(hex(digest, sizeof digest), whole) << "plan " << plan;
    }
}

// Past 512 MiB the length in bits no longer fits 32 bits; the digest must
// still be the standard one. Fed in 1 MiB pieces (plus a tail that needs the
// second padding block) and compared with OpenSSL's.
TEST(NerovaDiagnosticsDigest, MessagesPast512MiBKeepTheStandardDigest) {
    const std::string piece = patterned(std::size_t{1} << 20);
    const std::string tail = patterned(60);
    constexpr int kPieces = 513;
    sha256_ctx ours;
    sha256_init(&ours);
    EVP_MD_CTX* theirs = EVP_MD_CTX_new();
    ASSERT_TRUE(theirs);
    ASSERT_EQ(EVP_DigestInit_ex(theirs, EVP_sha256(), nullptr), 1);
    for (int i = 0; i < kPieces; ++i) {
        sha256_update(&ours, reinterpret_cast<const unsigned char*>(piece.data()), static_cast<uint32_t>(piece.size()));
        EVP_DigestUpdate(theirs, piece.data(), piece.size());
    }
    sha256_update(&ours, reinterpret_cast<const unsigned char*>(tail.data()), static_cast<uint32_t>(tail.size()));
    EVP_DigestUpdate(theirs, tail.data(), tail.size());
    unsigned char ourDigest[SHA256_DIGEST_SIZE], theirDigest[EVP_MAX_MD_SIZE];
    unsigned int theirLength = 0;
    sha256_final(&ours, ourDigest);
    EVP_DigestFinal_ex(theirs, theirDigest, &theirLength);
    EVP_MD_CTX_free(theirs);
    ASSERT_EQ(theirLength, 32u);
    EXPECT_EQ(hex(ourDigest, 32), hex(theirDigest, 32));
}

// Hashing 4 GiB takes too long for the suite, so start a context just below
// that count: the consumed-bytes counter must carry past 32 bits instead of
// wrapping to zero (which would pad a 4 GiB message as an empty one).
TEST(NerovaDiagnosticsDigest, ByteCountCarriesPastFourGiB) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    ctx.tot_len = (std::uint64_t{1} << 32) - SHA256_BLOCK_SIZE;
    const std::string block = patterned(2 * SHA256_BLOCK_SIZE);
    sha256_update(&ctx, reinterpret_cast<const unsigned char*>(block.data()), static_cast<uint32_t>(block.size()));
    EXPECT_EQ(ctx.tot_len, (std::uint64_t{1} << 32) + SHA256_BLOCK_SIZE);
}
