// Kilobytes, megabytes and gigabytes (powers of 1,024) in bytes; nullopt
// where the product would not fit in 64 bits.
#pragma once

#include <cstdint>
#include <optional>

std::optional<std::int64_t> convertKBtoBytes(std::int64_t numberOfKB);
std::optional<std::int64_t> convertMBtoBytes(std::int64_t numberOfMB);
std::optional<std::int64_t> convertGBtoBytes(std::int64_t numberOfGB);
