// The state scale of the snapshot report, from "blank" (never counts) to
// "critical" (worst).
#pragma once

#include <string>
#include <vector>

namespace WCKState {

// 0 "blank", 1 "unknown" (and every unrecognised text), 2 "blue", 3 "green",
// 4 "yellow", 5 "red", 6 "critical".
int rank(const std::string& state);

// The highest-ranked state; ties keep the earlier one, so the result is
// always one of the inputs as given. An empty list gives "blue".
std::string maxState(const std::vector<std::string>& states);

}  // namespace WCKState
