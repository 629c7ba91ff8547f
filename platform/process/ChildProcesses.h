// The outside programs this process started and has not yet waited for.
#pragma once

#include <cstddef>

namespace platform {

enum class ChildEnding { Terminate, Kill };

// Ends every child of this process that leads a process group of its own (as
// every Task does), with its whole group: Terminate asks, Kill forces. Whoever
// waits for a child still reaps it. Answers how many groups were signalled.
std::size_t endChildProcessGroups(ChildEnding how);

}  // namespace platform
