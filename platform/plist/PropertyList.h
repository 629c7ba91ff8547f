// Property lists, XML and binary, read into and written from NRVValue.
#pragma once

#include <optional>
#include <string>

#include "platform/value/NRVValue.h"

namespace platform::plist {

// nullopt for a missing, unreadable or malformed file. Nesting deeper than
// kMaxDepth is refused: the files come from places users can write.
constexpr int kMaxDepth = 64;
std::optional<NRVValue> readFile(const std::string& path, std::string* error = nullptr);
std::optional<NRVValue> readData(const std::string& bytes, std::string* error = nullptr);

enum class Format { XML, Binary };
std::optional<std::string> serialize(const NRVValue& value, Format format);
bool writeFile(const std::string& path, const NRVValue& value, Format format);

}  // namespace platform::plist
