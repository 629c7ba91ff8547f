#include "platform/loader/DynamicLoader.h"

#include <dlfcn.h>

namespace platform::loader {

void* open(const std::string& path) { return ::dlopen(path.c_str(), RTLD_LAZY); }

void* symbol(void* handle, const std::string& name) { return handle ? ::dlsym(handle, name.c_str()) : nullptr; }

std::string lastError() {
    const char* text = ::dlerror();
    return text ? std::string(text) : std::string();
}

int close(void* handle) { return handle ? ::dlclose(handle) : -1; }

}  // namespace platform::loader
