// A process-wide object made once and never destroyed, on purpose.
//
// For function-local statics that other threads, exit handlers or the
// destructors of other statics may still use while the process ends: the
// I/O loop, the dispatch queues, the log store, tables that a callback may
// reach during exit. `static NoDestructor<T> x(args...)` builds the T in
// place the first time control passes (thread-safe, as every local static)
// and registers no destructor, so T's destructor never runs and what the T
// owns stays reachable for leak checkers. Use it instead of
// `static T* x = new T` so that the intent can be found by name.
//
// Not for objects whose destructor must run (files to flush, children to
// reap): those need an explicit stop.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

namespace platform {

template <typename T>
class NoDestructor {
public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    // Trivial: the T inside is never destroyed.
    ~NoDestructor() = default;

    T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
    const T* get() const { return std::launder(reinterpret_cast<const T*>(storage_)); }
    T& operator*() { return *get(); }
    const T& operator*() const { return *get(); }
    T* operator->() { return get(); }
    const T* operator->() const { return get(); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace platform
