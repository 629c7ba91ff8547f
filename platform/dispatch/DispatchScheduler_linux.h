// The one thread that runs callbacks at their deadlines, shared by `after`
// and the timer sources of this folder; not part of the layer's interface.
// Thread-safe; callbacks run on its own thread, one at a time.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/dispatch/DispatchClock_linux.h"
#include "platform/memory/NoDestructor.h"

namespace platform::dispatch::detail {

// One thread that runs callbacks at their deadlines: `after` and timer sources.
// Callbacks only hand work to queues, so one thread is enough.
class Scheduler {
public:
    static Scheduler& shared() {
        // Never destroyed: worker threads may still schedule while the process exits.
        static platform::NoDestructor<Scheduler> scheduler;
        return *scheduler;
    }

    void schedule(DispatchTime when, Block callback) {
        if (isNever(when)) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.emplace(when, std::move(callback));
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        changed_.notify_one();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (entries_.empty()) {
                changed_.wait(lock);
                continue;
            }
            auto first = entries_.begin();
            if (nowNanoseconds() < first->first) {
                changed_.wait_until(lock, toTimePoint(first->first));
                continue;
            }
            Block callback = std::move(first->second);
            entries_.erase(first);
            lock.unlock();
            callback();
            callback = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::multimap<DispatchTime, Block> entries_;
    bool started_ = false;
};

}  // namespace platform::dispatch::detail
