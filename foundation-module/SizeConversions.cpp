#include "foundation-module/SizeConversions.h"

namespace {

std::optional<std::int64_t> multiplied(std::int64_t value, std::int64_t factor) {
    std::int64_t result = 0;
    if (__builtin_mul_overflow(value, factor, &result)) return std::nullopt;
    return result;
}

}  // namespace

std::optional<std::int64_t> convertKBtoBytes(std::int64_t numberOfKB) { return multiplied(numberOfKB, 1024); }
std::optional<std::int64_t> convertMBtoBytes(std::int64_t numberOfMB) { return multiplied(numberOfMB, 1048576); }
std::optional<std::int64_t> convertGBtoBytes(std::int64_t numberOfGB) { return multiplied(numberOfGB, 1073741824); }
