// Hexadecimal texts of byte buffers.
#pragma once

#include <string>

#include "platform/value/NRVValue.h"

namespace DataExtension {
// "(null)" for nil, else hexRepresentation (so "<>" for empty data).
std::string hexDescription(const NRVData* data);
// "<" + two lower-case hex digits per byte + ">", a blank after every fourth
// byte except the last.
std::string hexRepresentation(const NRVData& data);
}  // namespace DataExtension
