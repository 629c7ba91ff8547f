// Delivery of process signals as ordinary events, over a signalfd.
//
// Threading: start() blocks the signals in the calling thread; threads made
// afterwards inherit the mask, so it belongs at the top of main before any
// other thread exists (a thread that leaves a signal unblocked would take it
// instead). The handler runs on the watcher's own thread, one signal at a
// time. The destructor stops that thread and waits for it; it does not
// unblock the signals.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/error/Error.h"

namespace platform::signal {

// Sets the disposition of each signal to "ignore".
void ignoreSignals(const std::vector<int>& signals);

class SignalWatcher {
public:
    using Handler = std::function<void(int signalNumber)>;
    // nullptr and the error when the watch cannot be set up.
    static std::unique_ptr<SignalWatcher> start(const std::vector<int>& signals, Handler handler,
                                                platform::Error* error = nullptr);
    virtual ~SignalWatcher() = default;
};

}  // namespace platform::signal
