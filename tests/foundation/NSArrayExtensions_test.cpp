#include "foundation/NSArrayExtensions.h"

#include <gtest/gtest.h>

#include <cmath>

#include "foundation/NSDictionaryExtensions.h"
#include "ValueBuilders.h"

using namespace NSArrayExtensions;

using testsupport::dict;

TEST(NSArrayExtensions, NilSafeTests) {
    const NRVArray empty, one{1};
    EXPECT_TRUE(isNilOrEmpty(nullptr));
    EXPECT_TRUE(isNilOrEmpty(&empty));
    EXPECT_FALSE(isNilOrEmpty(&one));
    EXPECT_FALSE(hasContent(nullptr));
    EXPECT_TRUE(hasContent(&one));
    EXPECT_TRUE(valueOrEmptyArray(nullptr).empty());
    EXPECT_EQ(valueOrEmptyArray(&one), one);
}

TEST(NSArrayExtensions, SingleLineAndCompactForms) {
    const NRVArray mixed{1, dict({{"a", "b"}}), NRVArray{}};
    EXPECT_EQ(singleLineDescription(mixed), "[1, {a : b}, []]");
    EXPECT_EQ(compactDescription(mixed), "[1,\n {a : b},\n []]");

    const NRVArray nested{NRVArray{1, NRVArray{2, 3}}, dict({{"k", NRVArray{"x", dict({{"y", nullptr}})}}})};
    EXPECT_EQ(singleLineDescription(nested), "[[1, [2, 3]], {k : [x, {y : <null>}]}]");
    // Only the outer level breaks into lines.
    EXPECT_EQ(compactDescription(nested), "[[1, [2, 3]],\n {k : [x, {y : <null>}]}]");
    EXPECT_EQ(singleLineDescription(NRVArray{}), "[]");
    EXPECT_EQ(compactDescription(NRVArray{"a", "b", "c"}), "[a,\n b,\n c]");
}

TEST(NSArrayExtensions, ScalarDescriptions) {
    struct Case {
        const char* name;
        NRVValue value;
        const char* text;
    } cases[] = {
        {"null", nullptr, "<null>"},
        {"true", true, "1"},
        {"false", false, "0"},
        {"negative integer", -42, "-42"},
        {"real", 2.5, "2.5"},
        {"text", "hello world", "hello world"},
        {"data", NRVData{1, 2, 3, 4, 5}, "<01020304 05>"},
        {"date", NRVDate{0}, "2001-01-01 00:00:00 +0000"},
    };
    for (const auto& c : cases) EXPECT_EQ(description(c.value), c.text) << c.name;
}

TEST(NSArrayExtensions, NiceForm) {
    EXPECT_EQ(niceDescription(NRVArray{}), "[]");
    EXPECT_EQ(niceDescription(NRVArray{1, 2}), "[\n    1,\n    2\n]");
    // A nested empty collection is written out, not abbreviated.
    EXPECT_EQ(niceDescription(NRVArray{NRVArray{}, NRVDictionary{}}), "[\n    [\n    ],\n    {\n    }\n]");
    EXPECT_EQ(niceDescription(NRVArray{"a", NRVArray{"b", dict({{"c", 1}})}}),
              "[\n"
              "    a,\n"
              "    [\n"
              "        b,\n"
              "        {\n"
              "            c : 1\n"
              "        }\n"
              "    ]\n"
              "]");
}

TEST(NSArrayExtensions, Median) {
    struct Case {
        const char* name;
        NRVArray values;
        float expected;
    } cases[] = {
        {"empty", {}, 0},
        {"one", {7.5}, 7.5f},
        {"odd", {5, 1, 3}, 3},
        {"even", {3, 1, 2, 10}, 2.5f},
        {"mixed integer and real", {1, 2.5, 0.5, 4}, 1.75f},
        {"numeric texts", {"3", "1", "2"}, 2},
        {"nan does not upset sorting", {std::nan(""), 1, 2}, 2},
    };
    for (const auto& c : cases) EXPECT_FLOAT_EQ(medianFromArray(&c.values), c.expected) << c.name;
    EXPECT_EQ(medianFromArray(nullptr), 0);
}

TEST(NSArrayExtensions, KeyPaths) {
    const NRVArray people{dict({{"name", "ann"}, {"address", dict({{"city", "Oslo"}})}}),
                          dict({{"name", "bob"}}), "not a dictionary"};
    EXPECT_EQ(objectsForKeyPath(people, "name"), (NRVArray{"ann", "bob", nullptr}));
    EXPECT_EQ(objectsForKeyPath(people, "address.city"), (NRVArray{"Oslo", nullptr, nullptr}));
    EXPECT_TRUE(objectsForKeyPath(people, " ").empty());
    EXPECT_TRUE(objectsForKeyPath(people, std::nullopt).empty());
    const NRVArray groups{dict({{"members", NRVArray{dict({{"id", 1}}), dict({{"id", 2}})}}})};
    EXPECT_EQ(objectsForKeyPath(groups, "members.id"), (NRVArray{NRVArray{1, 2}}));
}

TEST(NSArrayExtensions, ContainsAnyAndJSON) {
    const NRVArray values{1, "two", 3.0};
    EXPECT_TRUE(containsObjectFrom(values, {"x", "two"}));
    EXPECT_TRUE(containsObjectFrom(values, {3}));  // 3 and 3.0 are the same number
    EXPECT_FALSE(containsObjectFrom(values, {"1", 2}));
    EXPECT_FALSE(containsObjectFrom(values, {}));

    EXPECT_EQ(jsonString(NRVArray{1, "a/b", true, nullptr, dict({{"k", 2.5}})}),
              "[\n  1,\n  \"a\\/b\",\n  true,\n  null,\n  {\n    \"k\" : 2.5\n  }\n]");
    NRVError error;
    EXPECT_FALSE(jsonString(NRVArray{NRVData{1}}, &error));
    EXPECT_FALSE(error.domain.empty());
    EXPECT_FALSE(jsonString(NRVArray{std::nan("")}));
}
