// The archive name arrives from another process and names a folder in the
// temporary folder that the collection empties and deletes, and the archive
// beside it. Only a plain file name is safe for that.
#pragma once

#include <cstddef>
#include <string>

namespace RemoteZEPArchiveName {

constexpr std::size_t kMaximumLength = 200;  // bytes

// False for "", ".", "..", a name with "/" or NUL, one that begins with "-"
// (it would read as an option of the outside programs) and one longer than
// kMaximumLength bytes. Every other name is taken as sent.
bool isAcceptable(const std::string& name);

}  // namespace RemoteZEPArchiveName
