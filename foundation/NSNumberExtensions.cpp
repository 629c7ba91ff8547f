#include "foundation/NSNumberExtensions.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "foundation/NSStringExtensions.h"

namespace NSNumberExtensions {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The number as an unsigned 64-bit value the way the platform converts it;
// out-of-range reals are clamped instead of being undefined.
std::optional<std::uint64_t> unsignedValue(const NRVValue& number) {
    if (const auto* b = number.asBool()) return *b ? 1 : 0;
    if (const auto* i = number.asInteger()) return static_cast<std::uint64_t>(*i);
    if (const auto* r = number.asReal()) {
        const double d = *r;
        if (std::isnan(d)) return 0;
        if (d >= 18446744073709551616.0) return UINT64_MAX;
        if (d >= 0) return static_cast<std::uint64_t>(d);
        if (d <= -9223372036854775808.0) return std::uint64_t{1} << 63;
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
    }
    return std::nullopt;
}

}  // namespace

NRVValue booleanTrue() { return NRVValue(true); }

NRVValue booleanFalse() { return NRVValue(false); }

NRVValue booleanForStringValue(std::optional<std::string_view> string) {
    return NRVValue(NSStringExtensions::boolValueFor(string));
}

NRVValue valueOrZeroNumber(const NRVValue* number) { return number ? *number : NRVValue(0); }

NRVValue convertHexStringToNumber(std::optional<std::string_view> string) {
    if (!string) return NRVValue(0);
    std::string_view text = *string;
    while (!text.empty() && (text.front() == ' ' || (text.front() >= '\t' && text.front() <= '\r'))) text.remove_prefix(1);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && hexDigit(text[2]) >= 0)
        text.remove_prefix(2);
    std::uint64_t value = 0;
    for (char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0) break;
        value = std::min<std::uint64_t>(value * 16 + static_cast<std::uint64_t>(digit), UINT32_MAX);
    }
    return NRVValue(static_cast<std::int64_t>(value));
}

std::string binaryString(const NRVValue& number) {
    std::optional<std::uint64_t> value = unsignedValue(number);
    std::string digits;
    for (std::uint64_t v = value.value_or(0); v != 0; v >>= 1) digits.insert(digits.begin(), (v & 1) ? '1' : '0');
    return digits;
}

}  // namespace NSNumberExtensions
