#include "foundation-module/DefaultDecoding.h"

#include <gtest/gtest.h>

namespace {

using nlohmann::json;

struct Record {
    DefaultFalse flag;
    DefaultNil<int> count;
    static Record decode(const json& j) {
        return {DefaultDecoding::decodeDefaultFalse(j, "flag"), DefaultDecoding::decodeDefaultNil<int>(j, "count")};
    }
    json encode() const { return json{{"flag", DefaultDecoding::encode(flag)}, {"count", DefaultDecoding::encode(count)}}; }
};

TEST(DefaultDecodingTest, MissingOrMistypedFieldsTakeTheirDefaults) {
    struct Case {
        const char* text;
        bool flag;
        std::optional<int> count;
    } cases[] = {
        {R"({})", false, std::nullopt},
        {R"({"flag": true, "count": 7})", true, 7},
        {R"({"flag": "true", "count": "7"})", false, std::nullopt},
        {R"({"flag": 1, "count": 7.5})", false, std::nullopt},
        {R"({"flag": null, "count": null})", false, std::nullopt},
        {R"({"count": 4294967296})", false, std::nullopt},
        {R"({"flag": [true], "count": {"other": 1}})", false, std::nullopt},
        {R"([1, 2])", false, std::nullopt},
    };
    for (const auto& c : cases) {
        const Record r = Record::decode(json::parse(c.text));
        EXPECT_EQ(r.flag.wrappedValue, c.flag) << c.text;
        EXPECT_EQ(r.count.wrappedValue, c.count) << c.text;
    }
}

TEST(DefaultDecodingTest, EncodingNestsTheValueAndReadsBack) {
    const Record set{{true}, {{42}}};
    EXPECT_EQ(set.encode(), json::parse(R"({"flag": {"wrappedValue": true}, "count": {"wrappedValue": 42}})"));
    const Record unset{{false}, {}};
    EXPECT_EQ(unset.encode(), json::parse(R"({"flag": {"wrappedValue": false}, "count": {}})"));

    for (const Record& r : {set, unset}) {
        const Record back = Record::decode(json::parse(r.encode().dump()));
        EXPECT_EQ(back.flag, r.flag);
        EXPECT_EQ(back.count, r.count);
    }
}

}  // namespace
