#include "collector/wellcheck/WCKState.h"

#include <array>
#include <string_view>

namespace WCKState {

namespace {
constexpr std::array<std::string_view, 7> kScale = {"blank", "unknown", "blue", "green", "yellow", "red", "critical"};
constexpr int kUnknownRank = 1;
}  // namespace

int rank(const std::string& state) {
    for (std::size_t i = 0; i < kScale.size(); ++i)
        if (kScale[i] == state) return static_cast<int>(i);
    return kUnknownRank;
}

std::string maxState(const std::vector<std::string>& states) {
    if (states.empty()) return "blue";
    const std::string* best = &states.front();
    int bestRank = rank(*best);
    for (std::size_t i = 1; i < states.size(); ++i) {
        const int r = rank(states[i]);
        if (r > bestRank) {
            best = &states[i];
            bestRank = r;
        }
    }
    return *best;
}

}  // namespace WCKState
