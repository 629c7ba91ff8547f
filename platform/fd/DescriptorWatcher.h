// One thread that waits until any of a set of descriptors has something to
// read (or hung up, or failed) and calls the callback added for it. The
// watchers of this layer that wait on a descriptor (file changes, the proxy
// settings, signals, process exits) are built on it.
//
// Threading: add(), remove() and stop() may be called from any thread, the
// watcher's own callbacks included. Callbacks run on the watcher's thread,
// one at a time, in no set order among descriptors that are ready together.
// Once remove() or stop() has returned, no call of the callbacks concerned
// starts any more; called from another thread they also wait for one that
// is running to return, called from a callback they return at once (the
// call in progress finishes). The destructor stops; destroying the watcher
// from one of its callbacks is allowed, the thread then ends on its own once
// the callback returns. The thread has the signal mask of the thread that
// created the watcher.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/error/Error.h"

namespace platform {

class DescriptorWatcher {
public:
    // Answers whether to keep watching the descriptor: false removes it.
    using Callback = std::function<bool()>;
    using Id = std::uint64_t;

    // nullptr and the error when the watcher cannot be set up.
    static std::unique_ptr<DescriptorWatcher> create(platform::Error* error = nullptr);
    ~DescriptorWatcher();
    DescriptorWatcher(const DescriptorWatcher&) = delete;
    DescriptorWatcher& operator=(const DescriptorWatcher&) = delete;

    // Watches `fd`, which stays the caller's: it must stay open until the
    // entry is removed (by remove(), stop(), or the callback answering
    // false). 0 once the watcher has stopped or for a negative fd.
    Id add(int fd, Callback callback);
    void remove(Id id);
    // Removes every descriptor and ends the thread, waiting for it to end
    // unless called from a callback. The thread also ends by itself when
    // waiting on the descriptors fails for another reason than a signal.
    void stop();

private:
    struct State;
    DescriptorWatcher(std::shared_ptr<State> state, std::thread thread);

    std::shared_ptr<State> state_;
    std::thread thread_;
    std::once_flag joined_;
};

}  // namespace platform
