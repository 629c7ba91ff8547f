#pragma once

#include <string>

namespace CollectionText {

// A file name as it may appear inside one collection-log line: control
// characters (a line feed in a name above all) are shown escaped, so a name
// can never break a line or forge one of its own.
std::string displayName(const std::string& name);

// A size for a log line: "1 GiB", "256 MiB", else bytes ("1500 bytes").
std::string byteCount(unsigned long long bytes);

}  // namespace CollectionText
