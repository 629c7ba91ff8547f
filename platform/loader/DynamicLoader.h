// Loading shared libraries and their symbols at run time.
#pragma once

#include <string>

namespace platform::loader {

// Opens with lazy binding; nullptr on failure (see lastError()).
void* open(const std::string& path);
void* symbol(void* handle, const std::string& name);
// The loader's last error text, "" when there is none; reading it clears it.
std::string lastError();
int close(void* handle);

}  // namespace platform::loader
