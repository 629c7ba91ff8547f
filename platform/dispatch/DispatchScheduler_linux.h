// The one thread that runs callbacks at their deadlines, shared by `after`
// and the timer sources of this folder; not part of the layer's interface.
// Thread-safe; callbacks run on its own thread, one at a time.
#pragma once

#include <map>
#include <thread>

#include "platform/dispatch/DispatchClock_linux.h"
#include "platform/thread/ConditionVariable.h"
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
        platform::MutexLock lock(mutex_);
        entries_.emplace(when, std::move(callback));
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        changed_.notify_one();
    }

private:
    void run() {
        platform::MutexLock lock(mutex_);
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

    platform::Mutex mutex_;
    platform::ConditionVariable changed_;
    std::multimap<DispatchTime, Block> entries_ GUARDED_BY(mutex_);
    bool started_ GUARDED_BY(mutex_) = false;
};

}  // namespace platform::dispatch::detail
