// Run-time loading of a platform library and its symbols, and a crash guard
// for risky calls: a marker file in the private temporary folder exists only
// while a protected block runs, so a block that once never came back (the
// process died inside it) is not run again by this process.
//
// Threading: loading and symbol look-ups are serialised by the object. A
// protected block runs on the caller's thread; two protected executions with
// the same identifier in one process at the same time: the second is refused.
// Symbols taken from the object must not be used after it is destroyed (its
// destruction closes the library).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "foundation/NRVError.h"
#include "platform/thread/Mutex.h"

inline constexpr const char* NRVFoundationErrorDomain = "com.nerova.endpoint.foundation";

class NRVProtectedAPI {
public:
    enum : int { kFrameworkNotLoaded = 10000, kSymbolNotFound = 10001 };

    static std::unique_ptr<NRVProtectedAPI> protectedAPIForId(const std::string& identifier);
    // The marker is "<temporary folder>com.nerova.foundation.protectedAPI.<id>.<pid>.txt";
    // a "/" in the identifier becomes "_", so the marker stays in that folder.
    explicit NRVProtectedAPI(const std::string& identifier);
    ~NRVProtectedAPI();
    NRVProtectedAPI(const NRVProtectedAPI&) = delete;
    NRVProtectedAPI& operator=(const NRVProtectedAPI&) = delete;

    std::string apiProtectionMarkerPath() const;
    void* handle() const;

    void* dlopen(const std::string& path);
    void* dlsym(const std::string& symbol, void* fromHandle);
    std::string dlerror();
    int dlclose(void* handle);

    // Opens the library once: a later call keeps the first library, whatever
    // path it names, and answers true. Failure: code 10000 with the loader's text.
    bool loadFramework(const std::string& path, NRVError* error = nullptr);
    // nullptr with code 10000 before a library is loaded, 10001 for a symbol
    // the library lacks.
    void* loadSymbol(const std::string& symbol, NRVError* error = nullptr);

    // Runs the block unless a marker is already there (then false, block not
    // run, marker left as it is). The marker is made in one step that fails
    // when anything, a link included, is at its path.
    bool protectedExecutionUsingBlock(const std::function<void()>& block);

private:
    mutable platform::Mutex mutex_;
    std::string markerPath_ GUARDED_BY(mutex_);
    void* handle_ GUARDED_BY(mutex_) = nullptr;
};
