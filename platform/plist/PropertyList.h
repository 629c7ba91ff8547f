// Property lists, XML and binary, read into and written from NRVValue.
#pragma once

#include <optional>
#include <string>

#include "platform/error/Error.h"
#include "platform/value/NRVValue.h"

namespace platform::plist {

// nullopt for a missing, unreadable or malformed file. The files come from
// places users can write: only a regular file is read (never a FIFO or a
// device), at most 8 MiB, and a list nested deeper than kMaxDepth or whose
// conversion would exceed its node or memory budget is refused before it is
// parsed.
constexpr int kMaxDepth = 64;
std::optional<NRVValue> readFile(const std::string& path, platform::Error* error = nullptr);
std::optional<NRVValue> readData(const std::string& bytes, platform::Error* error = nullptr);

enum class Format { XML, Binary };
std::optional<std::string> serialize(const NRVValue& value, Format format);
bool writeFile(const std::string& path, const NRVValue& value, Format format);

}  // namespace platform::plist
