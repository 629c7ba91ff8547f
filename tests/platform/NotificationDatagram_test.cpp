#include "platform/notify/NotificationDatagram.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/BinaryPropertyList.h"

using namespace platform::notify;

namespace {


std::optional<Notification> decodeText(const std::string& s, platform::Error* error = nullptr) {
    return datagram::decode(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), error);
}

using testsupport::bigEndian;
using testsupport::binaryPlist;

std::string ref(std::uint64_t index, int width) { return bigEndian(index, width); }

// A datagram named "n" carrying `info` as its raw user-info bytes.
std::string withRawUserInfo(const std::string& info) {
    return std::string("NRVN\x01\x02", 6) + bigEndian(1, 2) + "n" + bigEndian(info.size(), 4) + info;
}

// {"k": <object 2>} followed by the given objects from index 2 on.
std::vector<std::string> dictionaryOver(std::vector<std::string> rest, int refWidth) {
    std::vector<std::string> objects{std::string(1, '\xD1').append(ref(1, refWidth)).append(ref(2, refWidth)), "\x51k"};
    objects.insert(objects.end(), rest.begin(), rest.end());
    return objects;
}

}  // namespace

TEST(NotificationDatagramTest, RoundTripsEveryShape) {
    NRVDictionary info;
    info.set("string", "value");
    info.set("number", 42);
    info.set("real", 2.5);
    info.set("flag", true);
    info.set("data", NRVData{0, 1, 255});
    info.set("date", NRVDate{123.0});
    info.set("list", NRVArray{NRVValue("a"), NRVValue(1)});
    NRVDictionary inner;
    inner.set("x", "y");
    info.set("nested", inner);
    const Notification cases[] = {
        {"com.nerova.plain", std::nullopt, std::nullopt},
        {"com.nerova.object", "object text", std::nullopt},
        {"com.nerova.empty-object", "", std::nullopt},
        {"com.nerova.info", std::nullopt, info},
        {"com.nerova.both \xC3\xA9", "\xE2\x82\xAC", NRVDictionary{}},
    };
    for (const auto& n : cases) {
        platform::Error error;
        auto encoded = datagram::encode(n, &error);
        ASSERT_TRUE(encoded) << n.name << ": " << error.description;
        auto decoded = decodeText(*encoded, &error);
        ASSERT_TRUE(decoded) << n.name << ": " << error.description;
        EXPECT_EQ(*decoded, n) << n.name;
    }
}

TEST(NotificationDatagramTest, EncodeRefusesWhatReceiversCouldNotTake) {
    NRVDictionary withNull;
    withNull.set("k", NRVValue());
    NRVDictionary badText;
    badText.set("k", NRVArray{NRVValue("ok"), NRVValue("\xFF")});
    NRVDictionary huge;
    huge.set("k", std::string(datagram::kMaxDatagramSize, 'x'));
    NRVValue deep = NRVValue("leaf");
    for (int i = 0; i < datagram::kMaxUserInfoDepth + 1; ++i) deep = NRVValue(NRVArray{deep});
    NRVDictionary tooDeep;
    tooDeep.set("k", deep);
    const struct {
        const char* label;
        Notification n;
    } cases[] = {
        {"empty name", {"", std::nullopt, std::nullopt}},
        {"over-long name", {std::string(datagram::kMaxNameLength + 1, 'a'), std::nullopt, std::nullopt}},
        {"name not UTF-8", {"bad\xFF", std::nullopt, std::nullopt}},
        {"object not UTF-8", {"n", std::string("\xC0\x80"), std::nullopt}},
        {"null in user info", {"n", std::nullopt, withNull}},
        {"user info text not UTF-8", {"n", std::nullopt, badText}},
        {"over 64 KiB", {"n", std::nullopt, huge}},
        {"nested too deeply", {"n", std::nullopt, tooDeep}},
    };
    for (const auto& c : cases) {
        platform::Error error;
        EXPECT_FALSE(datagram::encode(c.n, &error)) << c.label;
        EXPECT_FALSE(error.description.empty()) << c.label;
    }
}

TEST(NotificationDatagramTest, EveryTruncationAndTrailingByteIsRefused) {
    NRVDictionary info;
    info.set("k", "v");
    auto encoded = datagram::encode({"com.nerova.n", "obj", info});
    ASSERT_TRUE(encoded);
    for (std::size_t length = 0; length < encoded->size(); ++length)
        EXPECT_FALSE(decodeText(encoded->substr(0, length))) << "prefix of " << length << " bytes";
    EXPECT_FALSE(decodeText(*encoded + "x"));
}

TEST(NotificationDatagramTest, MalformedDatagramsAreRefused) {
    const std::string valid = *datagram::encode({"n", std::nullopt, std::nullopt});
    auto patched = [&](std::size_t at, char byte) {
        std::string s = valid;
        s[at] = byte;
        return s;
    };
    const std::vector<std::string> arrayTop{"\xA1\x01", "\x51x"};
    std::vector<std::string> deepChain;  // arrays inside arrays, beyond the limit
    for (int i = 0; i < datagram::kMaxUserInfoDepth + 8; ++i)
        deepChain.push_back(std::string(1, '\xA1').append(ref(static_cast<std::uint64_t>(i) + 3, 2)));
    deepChain.push_back("\xA0");
    std::vector<std::string> shared;  // each level refers twice to the next: 2^20 values when expanded
    for (int i = 0; i < 20; ++i)
        shared.push_back(std::string(1, '\xA2')
                             .append(ref(static_cast<std::uint64_t>(i) + 3, 1))
                             .append(ref(static_cast<std::uint64_t>(i) + 3, 1)));
    shared.push_back("\x51x");
    std::string badOffset = binaryPlist(dictionaryOver({"\x51v"}, 1), 1);
    badOffset[badOffset.size() - 32 - 12 + 3] = 0x7f;  // first offset points past the objects
    const struct {
        const char* label;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"wrong magic", patched(0, 'X')},
        {"unknown version", patched(4, 2)},
        {"unknown flag", patched(5, 0x04)},
        {"name length past the end", std::string("NRVN\x01\x00\xFF\xFF", 8) + "n"},
        {"zero-length name", std::string("NRVN\x01\x00\x00\x00", 8)},
        {"object length past the end", std::string("NRVN\x01\x01\x00\x01", 8) + "n" + bigEndian(1000, 4) + "x"},
        {"user info not a property list", withRawUserInfo("garbage that is no plist")},
        {"user info in XML", withRawUserInfo("<?xml version=\"1.0\"?><plist><dict/></plist>")},
        {"user info not a dictionary", withRawUserInfo(binaryPlist(arrayTop, 1))},
        {"user info offset out of range", withRawUserInfo(badOffset)},
        {"user info nested too deeply", withRawUserInfo(binaryPlist(dictionaryOver(deepChain, 2), 2))},
        {"user info key holding NUL",
         withRawUserInfo(binaryPlist({"\xD1\x01\x02", std::string("\x53" "a\0b", 4), "\x10\x01"}, 1))},
        {"user info text not UTF-8", withRawUserInfo(binaryPlist(dictionaryOver({"\x52\xC3\x28"}, 1), 1))},
        {"user info text holding NUL",
         withRawUserInfo(binaryPlist(dictionaryOver({std::string("\x62\x00\x41\x00\x00", 5)}, 1), 1))},
        {"user info key not a string", withRawUserInfo(binaryPlist({"\xD1\x01\x01", "\x10\x01"}, 1))},
        {"user info refers to itself", withRawUserInfo(binaryPlist(dictionaryOver({"\xA1\x02"}, 1), 1))},
        {"user info expands without bound", withRawUserInfo(binaryPlist(dictionaryOver(shared, 1), 1))},
        {"over 64 KiB", std::string("NRVN\x01\x01\x00\x01", 8) + "n" + bigEndian(70000, 4) + std::string(70000, 'x')},
    };
    for (const auto& c : cases) {
        platform::Error error;
        EXPECT_FALSE(decodeText(c.bytes, &error)) << c.label;
        EXPECT_FALSE(error.description.empty()) << c.label;
    }
    // The same builder makes lists that are accepted, so the refusals above
    // are about what the cases change.
    auto ok = decodeText(withRawUserInfo(binaryPlist(dictionaryOver({"\x51v"}, 1), 1)));
    ASSERT_TRUE(ok);
    EXPECT_EQ(*(*ok->userInfo).find("k"), NRVValue("v"));
}
