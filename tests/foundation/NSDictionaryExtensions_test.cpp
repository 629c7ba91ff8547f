#include "foundation/NSDictionaryExtensions.h"

#include <gtest/gtest.h>
#include "ValueBuilders.h"

using namespace NSDictionaryExtensions;

using testsupport::dict;

TEST(NSDictionaryExtensions, NilSafeTests) {
    const NRVDictionary empty, one = dict({{"a", 1}});
    EXPECT_TRUE(isNilOrEmpty(nullptr));
    EXPECT_TRUE(isNilOrEmpty(&empty));
    EXPECT_FALSE(isNilOrEmpty(&one));
    EXPECT_FALSE(hasContent(nullptr));
    EXPECT_TRUE(hasContent(&one));
}

TEST(NSDictionaryExtensions, TypedLookups) {
    const NRVDictionary d = dict({
        {"emptyText", ""}, {"text", "x"}, {"zero", 0}, {"null", nullptr}, {"emptyArray", NRVArray{}},
        {"array", NRVArray{1}}, {"emptyDict", NRVDictionary{}}, {"emptyData", NRVData{}},
        {"yesText", "  YES"}, {"signedOne", "-001"}, {"noText", "no"}, {"real", 0.5}, {"on", true},
        {"when", NRVDate{100}},
    });
    struct Case {
        const char* key;
        bool hasValue, boolValue;
    } cases[] = {
        {"missing", false, false},  {"emptyText", false, false}, {"text", true, false},
        {"zero", true, false},      {"null", false, false},      {"emptyArray", false, false},
        {"array", true, false},     {"emptyDict", false, false}, {"emptyData", true, false},
        {"yesText", true, true},    {"signedOne", true, true},   {"noText", true, false},
        {"real", true, true},       {"on", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hasValueForKey(d, c.key), c.hasValue) << c.key;
        EXPECT_EQ(boolValueForKey(d, c.key), c.boolValue) << c.key;
    }
    EXPECT_EQ(stringValueForKey(d, "text"), "x");
    EXPECT_EQ(stringValueForKey(d, "zero"), "");
    EXPECT_EQ(stringValueForKey(d, "missing"), "");
    EXPECT_EQ(dateValueForKey(d, "when"), NRVDate{100});
    EXPECT_FALSE(dateValueForKey(d, "text"));
}

TEST(NSDictionaryExtensions, Renderings) {
    const NRVDictionary d = dict({{"z", 1}, {"a", NRVArray{1, 2}}, {"m", dict({{"k", "v"}})}});
    // Entries keep the dictionary's own order.
    EXPECT_EQ(singleLineDescription(d), "{z : 1, a : [1, 2], m : {k : v}}");
    EXPECT_EQ(compactDescription(d), "{z : 1,\n a : [1, 2],\n m : {k : v}}");
    EXPECT_EQ(singleLineDescription(NRVDictionary{}), "{}");
    EXPECT_EQ(niceDescription(NRVDictionary{}), "{}");
    EXPECT_EQ(niceDescription(dict({{"a", 1}, {"abc", 2}})), "{\n    a   : 1,\n    abc : 2\n}");
    EXPECT_EQ(niceDescription(dict({{"list", NRVArray{1}}, {"d", dict({{"inner", true}})}})),
              "{\n"
              "    list : [\n"
              "        1\n"
              "    ],\n"
              "    d    : {\n"
              "        inner : 1\n"
              "    }\n"
              "}");
    // Keys line up by UTF-16 length, not bytes.
    EXPECT_EQ(niceDescription(dict({{"\u00e9t\u00e9", 1}, {"abcd", 2}})), "{\n    \u00e9t\u00e9  : 1,\n    abcd : 2\n}");
}

TEST(NSDictionaryExtensions, JSON) {
    EXPECT_EQ(jsonString(dict({{"b", 1}, {"a", "x"}})), "{\n  \"b\" : 1,\n  \"a\" : \"x\"\n}");
    NRVError error;
    EXPECT_FALSE(jsonString(dict({{"when", NRVDate{1}}}), &error));
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
}
