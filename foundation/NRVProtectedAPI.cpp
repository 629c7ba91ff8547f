#include "foundation/NRVProtectedAPI.h"

#include <cerrno>

#include "foundation/NerovaLogger.h"
#include "platform/fs/FileManager.h"
#include "platform/loader/DynamicLoader.h"
#include "platform/system/SystemEnvironment.h"
#include "platform/thread/Mutex.h"

std::unique_ptr<NRVProtectedAPI> NRVProtectedAPI::protectedAPIForId(const std::string& identifier) {
    return std::make_unique<NRVProtectedAPI>(identifier);
}

NRVProtectedAPI::NRVProtectedAPI(const std::string& identifier) {
    std::string safe = identifier;
    for (char& c : safe)
        if (c == '/') c = '_';
    // The private per-user folder: a shared one would let another user plant
    // the marker (and so switch the guarded call off) or a link in its place.
    markerPath_ = platform::fs::appendingPathComponent(
        platform::temporaryDirectory(),
        "com.nerova.foundation.protectedAPI." + safe + "." + std::to_string(platform::processIdentifier()) + ".txt");
}

NRVProtectedAPI::~NRVProtectedAPI() {
    if (handle_) {
        dlclose(handle_);
        handle_ = nullptr;
    }
}

std::string NRVProtectedAPI::apiProtectionMarkerPath() const {
    platform::MutexLock lock(mutex_);
    return markerPath_;
}

void* NRVProtectedAPI::handle() const {
    platform::MutexLock lock(mutex_);
    return handle_;
}

void* NRVProtectedAPI::dlopen(const std::string& path) { return platform::loader::open(path); }
void* NRVProtectedAPI::dlsym(const std::string& symbol, void* fromHandle) {
    return platform::loader::symbol(fromHandle, symbol);
}
std::string NRVProtectedAPI::dlerror() { return platform::loader::lastError(); }
int NRVProtectedAPI::dlclose(void* handle) { return platform::loader::close(handle); }

bool NRVProtectedAPI::loadFramework(const std::string& path, NRVError* error) {
    platform::MutexLock lock(mutex_);
    if (handle_) return true;
    handle_ = dlopen(path);
    if (!handle_) NRVSetError(error, NRVError(NRVFoundationErrorDomain, kFrameworkNotLoaded, dlerror()));
    return handle_ != nullptr;
}

void* NRVProtectedAPI::loadSymbol(const std::string& symbol, NRVError* error) {
    platform::MutexLock lock(mutex_);
    if (!handle_) {
        NRVSetError(error, NRVError(NRVFoundationErrorDomain, kFrameworkNotLoaded,
                                    "Symbol loading failed due to Framework not being loaded."));
        return nullptr;
    }
    dlerror();  // a stale text must not be taken for this look-up's
    void* address = dlsym(symbol, handle_);
    if (!address) NRVSetError(error, NRVError(NRVFoundationErrorDomain, kSymbolNotFound, dlerror()));
    return address;
}

bool NRVProtectedAPI::protectedExecutionUsingBlock(const std::function<void()>& block) {
    const std::string marker = apiProtectionMarkerPath();
    platform::Error fsError;
    const bool created = platform::fs::createNewFile(marker, &fsError);
    if (!created && fsError.code == EEXIST) return false;
    if (!created) NerovaLogger::install().error("Unable to create the file: " + marker);
    if (block) block();
    // Only a marker this call made is removed.
    if (created && !platform::fs::removeItem(marker, &fsError))
        NerovaLogger::install().error("Failed to remove the file: " + marker + " internal issue: " + fsError.description);
    return true;
}
