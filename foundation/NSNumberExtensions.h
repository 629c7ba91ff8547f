// Number helpers of the base library: boolean numbers from words,
// hexadecimal text, base-2 text. Numbers are NRVValue integers, reals or
// booleans; "nil" is std::nullopt or nullptr.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/value/NRVValue.h"

namespace NSNumberExtensions {

NRVValue booleanTrue();
NRVValue booleanFalse();
// true for "true", "YES", "on" or "1" in any case; false otherwise and for nil.
NRVValue booleanForStringValue(std::optional<std::string_view> string);
// The number, or the integer 0 for nil.
NRVValue valueOrZeroNumber(const NRVValue* number);
// Reads an unsigned 32-bit hexadecimal number after blanks and an optional
// "0x"; values too large read as 0xFFFFFFFF; 0 when nothing can be read.
NRVValue convertHexStringToNumber(std::optional<std::string_view> string);
// The unsigned value as base-2 digits without leading zeros; "" for 0 and
// for values that are no number.
std::string binaryString(const NRVValue& number);

}  // namespace NSNumberExtensions
