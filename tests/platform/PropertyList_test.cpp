#include "platform/plist/PropertyList.h"

#include <gtest/gtest.h>

// A binary list whose dictionary key holds a NUL character made the parser
// end the process; it is refused as malformed instead.
TEST(PropertyListTest, BinaryListWithNulInAKeyIsRefused) {
    std::string list = "bplist00";
    list += "\xD1\x01\x02";                     // { key: value }
    list += std::string("\x53" "a\0b", 4);      // "a\0b"
    list += "\x10\x01";                         // 1
    list += std::string("\x08\x0b\x0f", 3);     // offsets
    std::string trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = 3;
    trailer[31] = 17;
    list += trailer;
    platform::Error error;
    EXPECT_FALSE(platform::plist::readData(list, &error));
    EXPECT_FALSE(error.description.empty());

    list[13] = 'c';  // the same list with a plain key reads
    auto value = platform::plist::readData(list, &error);
    ASSERT_TRUE(value) << error.description;
    EXPECT_EQ(*value->asDictionary()->find("acb"), NRVValue(1));
}

// An XML list may carry a NUL inside a string; writing such a value would
// cut the text at the NUL, so it is refused instead of written short.
TEST(PropertyListTest, TextWithNulIsNotWrittenShort) {
    const std::string withNul("G\x01\0rest", 8);
    NRVDictionary inValue;
    inValue.set("zeta", withNul);
    NRVDictionary inKey;
    inKey.set(withNul, 1);
    for (const NRVValue& value : {NRVValue(inValue), NRVValue(inKey), NRVValue(NRVArray{NRVValue(withNul)})}) {
        for (auto format : {platform::plist::Format::Binary, platform::plist::Format::XML})
            EXPECT_FALSE(platform::plist::serialize(value, format)) << static_cast<int>(format);
    }
    NRVDictionary plain;
    plain.set("zeta", std::string("G\x01rest"));
    auto written = platform::plist::serialize(NRVValue(plain), platform::plist::Format::Binary);
    ASSERT_TRUE(written);
    EXPECT_EQ(platform::plist::readData(*written), NRVValue(plain));
}

// Malformed UTF-8 in a text, read from a list or made in memory, is written
// as U+FFFD in both formats, instead of altered each format its own way.
TEST(PropertyListTest, MalformedUTF8IsWrittenAsReplacementCharacter) {
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                            "<key>year\xfe</key><string>a\xc3" "b\xe6\x9d</string></dict></plist>";
    auto read = platform::plist::readData(xml);
    ASSERT_TRUE(read);
    NRVDictionary made;
    made.set("year\xfe", std::string("a\xc3" "b\xe6\x9d"));
    NRVDictionary expected;
    expected.set("year\xEF\xBF\xBD", std::string("a\xEF\xBF\xBD" "b\xEF\xBF\xBD"));
    for (auto format : {platform::plist::Format::Binary, platform::plist::Format::XML}) {
        for (const NRVValue& v : {*read, NRVValue(made)}) {
            auto written = platform::plist::serialize(v, format);
            ASSERT_TRUE(written);
            EXPECT_EQ(platform::plist::readData(*written), NRVValue(expected)) << static_cast<int>(format);
        }
    }
}

// The lists the fuzz target found these faults with: a text with a NUL is
// not written at all, and a key with malformed UTF-8 is written the same way
// in both formats.
TEST(PropertyListTest, FuzzFindingsAreWrittenFaithfully) {
    const std::string corpus = std::string(NRV_SOURCE_DIR) + "/fuzz/corpus/property_list/";
    auto withNul = platform::plist::readFile(corpus + "string-with-nul");
    ASSERT_TRUE(withNul);
    EXPECT_FALSE(platform::plist::serialize(*withNul, platform::plist::Format::Binary));
    EXPECT_FALSE(platform::plist::serialize(*withNul, platform::plist::Format::XML));

    auto malformed = platform::plist::readFile(corpus + "malformed-utf8-key");
    ASSERT_TRUE(malformed);
    auto binary = platform::plist::serialize(*malformed, platform::plist::Format::Binary);
    auto xml = platform::plist::serialize(*malformed, platform::plist::Format::XML);
    ASSERT_TRUE(binary && xml);
    auto fromBinary = platform::plist::readData(*binary);
    ASSERT_TRUE(fromBinary);
    EXPECT_EQ(fromBinary, platform::plist::readData(*xml));
    EXPECT_EQ(platform::plist::serialize(*fromBinary, platform::plist::Format::Binary), binary);
}

// Dates before the reference date keep their fraction, and written and read
// again any number of times they stay within their microsecond.
TEST(PropertyListTest, DatesSurviveRepeatedRoundTrips) {
    for (double t : {-28671.9375, -1.25, 2.75, 1234.0000009, -5000.4999996}) {
        NRVValue value(NRVArray{NRVValue(NRVDate{t})});
        for (int round = 0; round < 3; ++round) {
            auto bytes = platform::plist::serialize(value, platform::plist::Format::Binary);
            ASSERT_TRUE(bytes);
            auto back = platform::plist::readData(*bytes);
            ASSERT_TRUE(back);
            value = *back;
        }
        EXPECT_NEAR((*value.asArray())[0].asDate()->sinceReferenceDate, t, 1e-6) << t;
    }
}
// The property-list reader on files a user can plant: only regular files,
// a size cap held while reading, and node and memory budgets checked before
// the list is parsed.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "platform/plist/PropertyList.h"
#include "support/TestSupport.h"

namespace {

void putBigEndian(std::string& out, std::uint64_t value, int size) {
    for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A binary list of `levels` arrays, each holding `fanOut` references to the
// next, the last to `true`: a few hundred bytes that expand to
// fanOut^levels nodes when shared references are copied.
std::string sharedReferenceList(int levels, int fanOut) {
    std::string list = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (int level = 0; level < levels; ++level) {
        offsets.push_back(list.size());
        list.push_back(static_cast<char>(0xA0 | (fanOut < 15 ? fanOut : 15)));
        if (fanOut >= 15) {
            list.push_back(0x11);
            putBigEndian(list, static_cast<std::uint64_t>(fanOut), 2);
        }
        for (int i = 0; i < fanOut; ++i) list.push_back(static_cast<char>(level + 1));
    }
    offsets.push_back(list.size());
    list.push_back(0x09);  // true
    const std::uint64_t table = list.size();
    for (auto offset : offsets) putBigEndian(list, offset, 2);
    list.append(6, '\0');
    list.push_back(2);  // offset size
    list.push_back(1);  // reference size
    putBigEndian(list, offsets.size(), 8);
    putBigEndian(list, 0, 8);
    putBigEndian(list, table, 8);
    return list;
}

std::string nestedXml(int depth) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    for (int i = 0; i < depth; ++i) xml += "<array>";
    xml += "<true/>";
    for (int i = 0; i < depth; ++i) xml += "</array>";
    return xml + "\n</plist>\n";
}

class PropertyListFile : public ::testing::Test {
protected:
    testsupport::TempDir tmp;
};

}  // namespace

TEST_F(PropertyListFile, HostileFilesAreUnreadableAndCostLittle) {
    const std::string fifo = tmp / "fifo.plist";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", tmp / "zero.plist");
    testsupport::writeText(tmp / "bomb.plist", sharedReferenceList(9, 10));        // 10^9 nodes
    testsupport::writeText(tmp / "wide.plist", sharedReferenceList(2, 2000));      // 4 million nodes
    testsupport::writeText(tmp / "deep.plist", nestedXml(200));
    testsupport::writeText(tmp / "large.plist", nestedXml(1) + std::string(9 << 20, ' '));
    struct Case {
        const char* name;
        const char* why;
    } cases[] = {
        {"fifo.plist", "a named pipe must not hang the reader"},
        {"zero.plist", "a device must not be read until memory runs out"},
        {"bomb.plist", "shared references count every time they are reached"},
        {"wide.plist", "the node budget holds for a flat list too"},
        {"deep.plist", "nesting is bounded"},
        {"large.plist", "the size cap holds"},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        platform::Error error;
        EXPECT_FALSE(platform::plist::readFile(tmp / c.name, &error).has_value()) << c.name << ": " << c.why;
        EXPECT_FALSE(error.description.empty()) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.name << ": " << c.why;
    }
}

TEST_F(PropertyListFile, ListsWithinBudgetStillRead) {
    // Shared references within budget are what the platform writes for
    // repeated values; they come back expanded.
    testsupport::writeText(tmp / "shared.plist", sharedReferenceList(3, 10));
    auto value = platform::plist::readFile(tmp / "shared.plist");
    ASSERT_TRUE(value.has_value());
    const NRVArray* top = value->asArray();
    ASSERT_NE(top, nullptr);
    ASSERT_EQ(top->size(), 10u);
    ASSERT_EQ((*top)[9].asArray()->size(), 10u);
    EXPECT_EQ(*(*(*(*top)[9].asArray())[9].asArray())[9].asBool(), true);

    testsupport::writeText(tmp / "nested.plist", nestedXml(60));
    EXPECT_TRUE(platform::plist::readFile(tmp / "nested.plist").has_value());
}
