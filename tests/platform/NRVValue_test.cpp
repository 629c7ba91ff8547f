#include "platform/value/NRVValue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace {

TEST(NRVDictionary, KeepsInsertionOrderThroughReplaceAndErase) {
    NRVDictionary d;
    for (const char* key : {"c", "a", "d", "b"}) d.set(key, key);
    d.set("a", 1);  // replaced in place
    EXPECT_TRUE(d.erase("d"));
    EXPECT_FALSE(d.erase("d"));
    d.set("d", 2);  // back at the end
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"c", "a", "b", "d"}));
    // Every key still finds its own value after the renumbering.
    const std::pair<const char*, NRVValue> expected[] = {{"c", "c"}, {"a", 1}, {"b", "b"}, {"d", 2}};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        ASSERT_NE(d.find(expected[i].first), nullptr) << expected[i].first;
        EXPECT_EQ(*d.find(expected[i].first), expected[i].second) << expected[i].first;
        EXPECT_EQ(d.valueAt(i), expected[i].second);
    }
    EXPECT_EQ(d.find("x"), nullptr);
    NRVDictionary same;
    for (const auto& [key, value] : expected) same.set(key, value);
    EXPECT_EQ(d, same);
}

// Small dictionaries look keys up in turn, larger ones through an index made
// when they grow past a few keys: both ways, and the change from one to the
// other, find every key at its place through replacing and erasing (also
// erasing by a view of the dictionary's own key).
TEST(NRVDictionary, LookupsHoldAtEverySize) {
    for (const std::size_t count : {1u, 8u, 9u, 40u}) {
        SCOPED_TRACE(count);
        NRVDictionary d;
        std::vector<std::string> order;
        for (std::size_t i = 0; i < count; ++i) {
            order.push_back("key-" + std::to_string((i * 7) % count));
            d.set(order.back(), static_cast<long long>(i));
        }
        d.set(order.front(), "replaced");
        const std::string erased = order[count / 2];
        EXPECT_TRUE(d.erase(d.keyAt(count / 2)));
        EXPECT_EQ(d.find(erased), nullptr);
        order.erase(order.begin() + static_cast<std::ptrdiff_t>(count / 2));
        d.set("added", true);
        order.push_back("added");
        ASSERT_EQ(d.keys(), order);
        for (std::size_t i = 0; i < order.size(); ++i) {
            ASSERT_NE(d.find(order[i]), nullptr) << order[i];
            EXPECT_EQ(d.find(order[i]), &d.valueAt(i)) << order[i];
        }
        if (count > 1) {
            EXPECT_EQ(*d.find(order.front()), NRVValue("replaced"));
        }
        EXPECT_EQ(*d.find("added"), NRVValue(true));
        EXPECT_EQ(d.find("key-"), nullptr);
        const NRVDictionary copy = d;
        EXPECT_EQ(copy.find("added"), &copy.valueAt(copy.size() - 1));
    }
}

// Building and reading must grow linearly: preference and status lists of
// hundreds of thousands of keys are admitted. Compares two sizes rather than
// a fixed time alone, so a slow or instrumented build does not matter. Twenty
// times the keys costs about twenty times the time (a few times more on a
// loaded machine, as the larger size leaves the caches); a lookup that scans
// the keys makes it four hundred times.
TEST(NRVDictionary, BuildingAndReadingGrowLinearly) {
    const auto run = [](std::size_t count) {
        std::vector<std::string> keys;
        keys.reserve(count);
        for (std::size_t i = 0; i < count; ++i) keys.push_back("key-" + std::to_string(i * 7919 % count));
        const auto start = std::chrono::steady_clock::now();
        NRVDictionary d;
        for (const auto& key : keys) d.set(key, static_cast<long long>(key.size()));
        std::size_t found = 0;
        for (const auto& key : keys) found += d.find(key) != nullptr;
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(found, count);
        return elapsed.count();
    };
    const double small = std::min({run(10000), run(10000), run(10000)});
    const double large = std::min({run(200000), run(200000), run(200000)});
    // A millisecond-scale measurement on a busy machine can be off by far
    // more than the ratio, so only a slow large run counts against it.
    EXPECT_FALSE(large > 150 * small && large > 5.0) << "10k keys: " << small << " s, 200k keys: " << large << " s";
}

}  // namespace
