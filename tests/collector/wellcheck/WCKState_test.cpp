#include "collector/wellcheck/WCKState.h"

#include <gtest/gtest.h>

#include "WCKTestTree.h"

namespace {

TEST(WCKState, MaxStateTakesTheHighestRankAndKeepsTheEarlierOnTies) {
    struct Case {
        const char* name;
        std::vector<std::string> states;
        std::string expected;
    } cases[] = {
        {"empty list", {}, "blue"},
        {"blank alone", {"blank"}, "blank"},
        {"unrecognised beats blank and is returned as given", {"blank", "purple"}, "purple"},
        {"unknown first keeps its place against an equal rank", {"unknown", "purple"}, "unknown"},
        {"unrecognised first keeps its place", {"purple", "unknown"}, "purple"},
        {"red over yellow and green", {"green", "yellow", "red", "yellow"}, "red"},
        {"critical over red", {"blue", "critical", "red"}, "critical"},
        {"blue over unknown", {"unknown", "blue"}, "blue"},
        {"green over blue", {"blue", "green"}, "green"},
        {"yellow over green", {"green", "yellow"}, "yellow"},
        {"words compare exactly", {"green", "Red"}, "green"},
    };
    for (const auto& c : cases) EXPECT_EQ(WCKState::maxState(c.states), c.expected) << c.name;
}

TEST(WCKState, CollectStateValuesGathersEveryNestedStateButTheTopOne) {
    using wcktest::D;
    const NRVValue tree = D({
        {"state", "critical"},
        {"text", "red"},
        {"Leaf", D({{"state", "green"}, {"value", ""}})},
        {"Section", D({{"state", "yellow"},
                       {"Inner", D({{"Deep", D({{"state", "red"}, {"value", "x"}})}})},
                       {"Odd", D({{"state", 5}})}})},
    });
    auto states = WCKSnapshotGenerator::collectStateValues(*tree.asDictionary());
    std::sort(states.begin(), states.end());
    EXPECT_EQ(states, (std::vector<std::string>{"green", "red", "yellow"}));
}

}  // namespace
