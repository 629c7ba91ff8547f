// Running a tool once and handing back the tail of what it wrote.
//
// Threading: launchTask blocks the calling thread until the tool has ended;
// the output is collected on the task's drain threads meanwhile. Nothing is
// kept between calls.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process/Task.h"

namespace NSTaskExtensions {

// Kept tails, in UTF-16 units as the platform's strings count them.
inline constexpr std::size_t kStandardOutputLimit = 32000;
inline constexpr std::size_t kStandardErrorLimit = 1000;

// Runs the tool with the task (used once: a task that already has a launch
// path, or a blank tool path, is refused without touching the outputs).
// The out-parameters that are given receive the last 32000 units of
// standard output, the last 1000 of standard error and the exit status;
// streams nobody asked for go to the null device. When the tool cannot be
// started: status -1, standard error "<exception name>: <reason>", false.
// True when the tool exited with status 0.
bool launchTask(platform::Task& task, std::optional<std::string_view> toolPath,
                const std::optional<std::vector<std::string>>& arguments, std::string* standardOutput,
                std::string* standardError, int* statusCode);

// Appends a chunk of UTF-8 output to the string and keeps its last n UTF-16
// units (whole characters). Nothing to do (true) when the data, the string or
// n is missing. With `carry`, a character split between two chunks is held
// back and completed by the next one; without it, or for bytes that are no
// UTF-8 at all, the bad bytes become U+FFFD and the answer is false.
bool appendData(std::optional<std::string_view> data, std::string* string, std::size_t n,
                std::string* carry = nullptr);

}  // namespace NSTaskExtensions
