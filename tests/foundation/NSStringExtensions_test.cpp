#include "foundation/NSStringExtensions.h"

#include <gtest/gtest.h>

using namespace NSStringExtensions;

TEST(NSStringExtensions, NilSafeTests) {
    struct Case {
        const char* name;
        std::optional<std::string_view> text;
        bool empty, content, blank;
    } cases[] = {
        {"nil", std::nullopt, true, false, true},
        {"empty", "", true, false, true},
        {"blanks tabs newlines", " \t\n\r ", false, true, true},
        {"no-break and ideographic spaces", "\u00a0\u3000", false, true, true},
        {"word", " a ", false, true, false},
        {"malformed byte counts as content", "\xff", false, true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNilOrEmpty(c.text), c.empty) << c.name;
        EXPECT_EQ(hasContent(c.text), c.content) << c.name;
        EXPECT_EQ(isNilOrWhiteSpace(c.text), c.blank) << c.name;
    }
}

TEST(NSStringExtensions, BooleanWords) {
    struct Case {
        const char* name;
        std::optional<std::string_view> text;
        bool isWord, value;
    } cases[] = {
        {"On", "On", true, true},     {"1", "1", true, true},         {"TRUE", "TRUE", true, true},
        {"yes", "yes", true, true},   {"no", "No", true, false},      {"0", "0", true, false},
        {"OFF", "OFF", true, false},  {"yes blank", "yes ", false, false}, {"2", "2", false, false},
        {"empty", "", false, false},  {"nil", std::nullopt, false, false},
    };
    for (const auto& c : cases) {
        if (c.text) {
            EXPECT_EQ(isBoolean(*c.text), c.isWord) << c.name;
        }
        EXPECT_EQ(boolValueFor(c.text), c.value) << c.name;
    }
}

TEST(NSStringExtensions, CharacterClasses) {
    struct Case {
        const char* name;
        std::string_view text;
        bool digits, hex, alnum;
    } cases[] = {
        {"empty", "", false, false, true},
        {"blanks", "   ", false, false, false},
        {"ascii digits", "0123", true, true, true},
        {"arabic-indic digits", "\u0661\u0662", true, false, true},
        {"hex", "deadBEEF", false, true, true},
        {"letters with accents", "\u00e9t\u00e9", false, false, true},
        {"combining mark", "e\u0301", false, false, true},
        {"punctuation", "ab-1", false, false, false},
        {"digit and blank", "1 2", false, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isDecimalDigits(c.text), c.digits) << c.name;
        EXPECT_EQ(isHexadecimalCharacters(c.text), c.hex) << c.name;
        EXPECT_EQ(isAlphaNumeric(c.text), c.alnum) << c.name;
    }
    EXPECT_TRUE(isMD5String("900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(isMD5String("900150983cd24fb0d6963f7d28e17f7"));
    EXPECT_FALSE(isMD5String("900150983cd24fb0d6963f7d28e17f7g"));
}

TEST(NSStringExtensions, CaseInsensitiveComparisons) {
    EXPECT_TRUE(isCaseInsensitiveEqualToString("Stra\u00dfe", "STRASSE"));
    EXPECT_TRUE(isCaseInsensitiveEqualToString("\u00c9t\u00e9", "\u00e9T\u00c9"));
    EXPECT_FALSE(isCaseInsensitiveEqualToString("abc", "abd"));
    EXPECT_TRUE(hasPrefixCaseInsensitiveSearch("Hello World", "hELLO"));
    EXPECT_FALSE(hasPrefixCaseInsensitiveSearch("Hello World", "World"));
    EXPECT_FALSE(hasPrefixCaseInsensitiveSearch("Hello", ""));
    EXPECT_FALSE(hasPrefixCaseInsensitiveSearch("He", "Hello"));
    EXPECT_TRUE(hasSuffixCaseInsensitiveSearch("report.LOG", ".log"));
    EXPECT_FALSE(hasSuffixCaseInsensitiveSearch("report.log", "report"));
    EXPECT_FALSE(hasSuffixCaseInsensitiveSearch("report.log", ""));
}

// File names on the product's volumes often come decomposed; a composed and a
// decomposed spelling are the same name.
TEST(NSStringExtensions, CaseInsensitiveComparisonsIgnoreCanonicalForm) {
    const std::string composed = "Caf\u00e9 R\u00e9sum\u00e9";     // é as one character
    const std::string decomposed = "CAFE\u0301 RE\u0301SUME\u0301";  // E + combining acute
    EXPECT_TRUE(isCaseInsensitiveEqualToString(composed, decomposed));
    EXPECT_TRUE(isCaseInsensitiveEqualToString("\u212b", "\u00e5"));  // angstrom sign and a-ring
    EXPECT_TRUE(hasPrefixCaseInsensitiveSearch(decomposed + "/x", "caf\u00e9"));
    EXPECT_TRUE(hasSuffixCaseInsensitiveSearch("/Users/" + decomposed, "r\u00e9sum\u00e9"));
    // A match may end before a composed character, not inside one.
    EXPECT_TRUE(hasPrefixCaseInsensitiveSearch(composed, "caf"));
    EXPECT_FALSE(hasPrefixCaseInsensitiveSearch(composed, "cafe"));
    EXPECT_FALSE(isCaseInsensitiveEqualToString(composed, "cafe resume"));
}

TEST(NSStringExtensions, Addresses) {
    struct Case {
        const char* name;
        std::string_view text;
        bool valid, isPrivate;
    } cases[] = {
        {"plain public", "8.8.8.8", true, false},
        {"ten", "10.1.2.3", true, true},
        {"loopback", "127.0.0.1", true, true},
        {"192.168", "192.168.100.1", true, true},
        {"172.16 low end", "172.16.0.0", true, true},
        {"172.31 high end", "172.31.255.255", true, true},
        {"172.32 outside", "172.32.0.1", true, false},
        {"short form", "10.1", true, true},
        {"hex form", "0x7f.1", true, true},
        {"octet too large", "256.1.1.1", false, false},
        {"words", "not an address", false, false},
        {"empty", "", false, false},
        {"embedded NUL", std::string_view("10.0.0.1\0junk", 13), false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidIP4Address(c.text), c.valid) << c.name;
        EXPECT_EQ(isPrivateIP4Address(c.text), c.isPrivate) << c.name;
    }
}

TEST(NSStringExtensions, AllowedServers) {
    EXPECT_TRUE(isAllowedServer("relay-1.eu.nerova.com"));
    EXPECT_TRUE(isAllowedServer("update_2.nerovaupdate.com"));
    EXPECT_FALSE(isAllowedServer("nerova.com"));  // suffixes begin with "."
    EXPECT_FALSE(isAllowedServer("relay.NEROVA.COM"));
    EXPECT_FALSE(isAllowedServer("evil.com"));
    EXPECT_FALSE(isAllowedServer("relay.nerova.com/x"));
    EXPECT_FALSE(isAllowedServer("r\u00e9lay.nerova.com"));
    EXPECT_FALSE(isAllowedServer(""));
    EXPECT_TRUE(isAllowedServer(std::string(1024 - 11, 'a') + ".nerova.com"));
    EXPECT_FALSE(isAllowedServer(std::string(1025 - 11, 'a') + ".nerova.com"));
}

TEST(NSStringExtensions, Truncation) {
    struct Case {
        const char* name;
        std::string_view text;
        std::size_t max;
        std::string_view expected;
    } cases[] = {
        {"eight letters to five", "abcdefgh", 5, "abcd\u2026"},
        {"fits exactly", "abcde", 5, "abcde"},
        {"shorter", "abc", 5, "abc"},
        {"maximum 1", "abc", 1, "\u2026"},
        {"maximum 0", "abc", 0, ""},
        {"maximum 0, empty text", "", 0, ""},
        {"counts UTF-16 units, not bytes", "\u00e9\u00e9\u00e9", 3, "\u00e9\u00e9\u00e9"},
        {"surrogate pair kept whole", "a\U0001F600\U0001F600", 4, "a\U0001F600\u2026"},
        {"surrogate pair at the cut dropped", "ab\U0001F600cd", 4, "ab\u2026"},
    };
    for (const auto& c : cases) EXPECT_EQ(truncatedMaxLength(c.text, c.max), c.expected) << c.name;
}

TEST(NSStringExtensions, UnsignedNumbers) {
    struct Case {
        const char* name;
        std::string_view text;
        std::uint64_t expected;
    } cases[] = {
        {"blanks then digits then letters", "  42abc", 42},
        {"newline first", "\n7", 7},
        {"letter first", "a42", 0},
        {"sign is not a digit", "-5", 0},
        {"empty", "", 0},
        {"largest", "18446744073709551615", UINT64_MAX},
        {"overflow saturates", "18446744073709551616", UINT64_MAX},
        {"far overflow saturates", "99999999999999999999999999", UINT64_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(unsignedLongLongValue(c.text), c.expected) << c.name;
}

TEST(NSStringExtensions, Digests) {
    EXPECT_EQ(md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(sha256Hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_FALSE(sha256(""));
    auto raw = sha256("abc");
    ASSERT_TRUE(raw);
    ASSERT_EQ(raw->size(), 32u);
    EXPECT_EQ((*raw)[0], 0xba);
    EXPECT_EQ((*raw)[31], 0xad);
    // salt "ab" + lower-cased "C" is "abc"; only saltLength bytes of the salt count.
    EXPECT_EQ(sha256HashWithSalt("C", "abXYZ", 2), sha256Hash("abc"));
    EXPECT_EQ(sha256HashWithSalt("\u00c9", "", 0), sha256Hash("\u00e9"));
}

TEST(NSStringExtensions, ThreatId) {
    EXPECT_EQ(nerovaThreatId(""), 1125899906842597ULL);
    EXPECT_EQ(nerovaThreatId("a"), 1125899906842597ULL * 31 + 97);
    // A character outside the basic plane counts as its two UTF-16 units.
    EXPECT_EQ(nerovaThreatId("\U0001F600"), (1125899906842597ULL * 31 + 0xD83D) * 31 + 0xDE00);
    // Long text wraps around in 64 bits.
    const std::string longText(10000, 'z');
    std::uint64_t expected = 1125899906842597ULL;
    for (char c : longText) expected = expected * 31 + static_cast<unsigned char>(c);
    EXPECT_EQ(nerovaThreatId(longText), expected);
}

TEST(NSStringExtensions, UuidAndPathForms) {
    EXPECT_EQ(formatToUuidWithMD5String("900150983cd24fb0d6963F7D28E17F72"), "90015098-3cd2-4fb0-d696-3F7D28E17F72");
    EXPECT_FALSE(formatToUuidWithMD5String("xyz"));
    EXPECT_FALSE(formatToUuidWithMD5String(std::nullopt));
    EXPECT_EQ(valueOrEmptyString(std::nullopt), "");
    EXPECT_EQ(valueOrEmptyString("x"), "x");
    EXPECT_EQ(stringByAbbreviatingUserDataFirmlinkInPath("/System/Volumes/Data/Users/a"), "/Users/a");
    EXPECT_EQ(stringByAbbreviatingUserDataFirmlinkInPath("/system/volumes/data/Users/a"), "/system/volumes/data/Users/a");
    EXPECT_EQ(stringByAbbreviatingUserDataFirmlinkInPath("/Users/a"), "/Users/a");
}

TEST(NSStringExtensions, ReverseByComposedCharacters) {
    struct Case {
        const char* name;
        std::string_view text, expected;
    } cases[] = {
        {"ascii", "abc", "cba"},
        {"empty", "", ""},
        {"combining sequence stays whole", "ae\u0301b", "be\u0301a"},
        {"surrogate pair stays whole", "x\U0001F600y", "y\U0001F600x"},
        {"flag stays whole", "a\U0001F1E9\U0001F1EA", "\U0001F1E9\U0001F1EAa"},
        {"CR LF stays whole", "a\r\nb", "b\r\na"},
    };
    for (const auto& c : cases) EXPECT_EQ(reverse(c.text), c.expected) << c.name;
}

TEST(NSStringExtensions, SIDGUID) {
    const std::string guid = "0123456789abcdefABCDEF0123456789";
    struct Case {
        const char* name;
        std::string text;
        std::optional<std::string> expected;
    } cases[] = {
        {"found", "x;SID=" + guid + ";rest", guid},
        {"at the end without ;", "SID=" + guid, std::nullopt},
        {"other character after", "SID=" + guid + ",", std::nullopt},
        {"too short", "SID=0123;", std::nullopt},
        {"not hex", "SID=" + std::string(31, 'a') + "g;", std::nullopt},
        {"no marker", guid + ";", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(extractSIDGUID(c.text), c.expected) << c.name;
}

TEST(NSStringExtensions, IndexOfCountsUTF16Units) {
    EXPECT_EQ(indexOf("hello world", "world"), (NRVRange{6, 5}));
    EXPECT_EQ(indexOf("\U0001F600\u00e9ab", "ab"), (NRVRange{3, 2}));
    EXPECT_EQ(indexOf("hello", "xyz").location, NRVNotFound);
    EXPECT_EQ(indexOf("hello", "").location, NRVNotFound);
    EXPECT_EQ(utf16Length("a\u00e9\U0001F600"), 4u);
}

TEST(NSStringExtensions, JSONText) {
    NRVError error;
    auto object = JSONStringToDictionary(R"({"b": 1, "a": [true, null, 2.5, "x"], "big": 18446744073709551615})", &error);
    ASSERT_TRUE(object);
    ASSERT_TRUE(object->isDictionary());
    EXPECT_EQ(object->asDictionary()->keys(), (std::vector<std::string>{"b", "a", "big"}));
    EXPECT_EQ(*(*object)["b"], NRVValue(1));
    EXPECT_EQ(*(*object)["a"], NRVValue(NRVArray{true, nullptr, 2.5, "x"}));
    EXPECT_TRUE((*object)["big"]->isReal());

    auto array = JSONStringToDictionary("[1]");
    ASSERT_TRUE(array);
    EXPECT_TRUE(array->isArray());

    EXPECT_FALSE(JSONStringToDictionary("{\"a\": ", &error));
    EXPECT_EQ(error.code, 3840);
    EXPECT_FALSE(error.localizedDescription.empty());
    EXPECT_FALSE(JSONStringToDictionary(""));
}

// Hostile nesting ends in nil and an error, never in a stack overflow.
TEST(NSStringExtensions, JSONNestingIsBounded) {
    const auto nested = [](std::size_t depth, std::string inner = "") {
        return std::string(depth, '[') + inner + std::string(depth, ']');
    };
    EXPECT_TRUE(JSONStringToDictionary(nested(64)));
    NRVError error;
    EXPECT_FALSE(JSONStringToDictionary(nested(65), &error));
    EXPECT_EQ(error.code, 3840);
    EXPECT_FALSE(JSONStringToDictionary(nested(100000)));
    // Brackets inside strings do not count.
    EXPECT_TRUE(JSONStringToDictionary(nested(10, std::string(1, '"').append(1000, '[').append("\\\"\""))));
}

TEST(NSStringExtensions, JSONTextMustBeArrayOrObject) {
    NRVError error;
    EXPECT_FALSE(JSONStringToDictionary("42", &error));
    EXPECT_EQ(error.code, 3840);
    EXPECT_FALSE(JSONStringToDictionary("\"text\""));
}
