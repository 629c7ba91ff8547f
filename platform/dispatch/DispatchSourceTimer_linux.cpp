#include "platform/dispatch/Dispatch.h"

#include <chrono>
#include <deque>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/CurrentQueueScope_linux.h"
#include "platform/dispatch/DispatchClock_linux.h"
#include "platform/dispatch/DispatchScheduler_linux.h"
#include "platform/thread/Mutex.h"

namespace platform::dispatch {

using namespace detail;

namespace {

// The scheduler holds a timer only weakly: a timer nobody holds stops. Event
// handlers of one timer never overlap, even on a concurrent queue, and the
// cancel handler runs after the last event handler; fires that come while a
// handler runs or while the timer is suspended are merged into one.
class TimerImpl final : public DispatchSourceTimer, public std::enable_shared_from_this<TimerImpl> {
public:
    explicit TimerImpl(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}

    void setTimer(DispatchTime start, std::uint64_t intervalNanoseconds, std::uint64_t leewayNanoseconds) override {
        platform::MutexLock lock(mutex_);
        if (cancelled_) {
            return;
        }
        ++generation_;
        nextFire_ = start == DISPATCH_TIME_NOW ? nowNanoseconds() : start;
        interval_ = intervalNanoseconds;
        armed_ = true;
        scheduled_ = false;
        firePending_ = false;
        if (suspendCount_ == 0) {
            scheduleLocked();
        }
    }

    void setEventHandler(Block handler) override {
        platform::MutexLock lock(mutex_);
        if (!cancelled_) {
            eventHandler_ = std::move(handler);
        }
    }

    void setCancelHandler(Block handler) override {
        platform::MutexLock lock(mutex_);
        if (!cancelled_) {
            cancelHandler_ = std::move(handler);
        }
    }

    void cancel() override {
        platform::MutexLock lock(mutex_);
        if (cancelled_) {
            return;
        }
        cancelled_ = true;
        ++generation_;
        deliverCancelIfDueLocked();
    }

    bool isCancelled() const override {
        platform::MutexLock lock(mutex_);
        return cancelled_;
    }

    void suspend() override {
        platform::MutexLock lock(mutex_);
        ++suspendCount_;
    }

    void resume() override {
        platform::MutexLock lock(mutex_);
        if (suspendCount_ == 0 || --suspendCount_ > 0) {
            return;
        }
        if (cancelled_) {
            deliverCancelIfDueLocked();
            return;
        }
        if (armed_ && !scheduled_) {
            scheduleLocked();
        }
        if (firePending_) {
            firePending_ = false;
            deliverEventLocked();
        }
    }

private:
    void scheduleLocked() REQUIRES(mutex_) {
        scheduled_ = true;
        std::weak_ptr<TimerImpl> weak = shared_from_this();
        const std::uint64_t generation = generation_;
        Scheduler::shared().schedule(nextFire_, [weak, generation] {
            if (auto timer = weak.lock()) {
                timer->fire(generation);
            }
        });
    }

    void fire(std::uint64_t generation) {
        platform::MutexLock lock(mutex_);
        if (cancelled_ || generation != generation_) {
            return;
        }
        if (interval_ == DISPATCH_TIME_FOREVER) {
            armed_ = false;
        } else {
            const DispatchTime now = nowNanoseconds();
            nextFire_ += interval_;
            if (nextFire_ <= now) {
                nextFire_ = now + interval_;  // missed fires are merged, not replayed
            }
            scheduleLocked();
        }
        if (suspendCount_ > 0 || handlerRunning_) {
            firePending_ = true;
            return;
        }
        deliverEventLocked();
    }

    void deliverEventLocked() REQUIRES(mutex_) {
        handlerRunning_ = true;
        queue_->async([self = shared_from_this()] { self->runEventHandler(); });
    }

    void runEventHandler() {
        Block handler;
        {
            platform::MutexLock lock(mutex_);
            if (!cancelled_) {
                handler = eventHandler_;
            }
        }
        if (handler) {
            handler();
        }
        handler = nullptr;
        platform::MutexLock lock(mutex_);
        handlerRunning_ = false;
        if (cancelled_) {
            deliverCancelIfDueLocked();
        } else if (firePending_ && suspendCount_ == 0) {
            firePending_ = false;
            deliverEventLocked();
        }
    }

    void deliverCancelIfDueLocked() REQUIRES(mutex_) {
        if (cancelDelivered_ || suspendCount_ > 0 || handlerRunning_) {
            return;
        }
        cancelDelivered_ = true;
        queue_->async([self = shared_from_this()] { self->runCancelHandler(); });
    }

    // Dropping both handlers here breaks the cycles of handlers that hold
    // their own timer.
    void runCancelHandler() {
        Block cancelHandler;
        Block eventHandler;
        {
            platform::MutexLock lock(mutex_);
            cancelHandler.swap(cancelHandler_);
            eventHandler.swap(eventHandler_);
        }
        if (cancelHandler) {
            cancelHandler();
        }
    }

    const std::shared_ptr<DispatchQueue> queue_;
    mutable platform::Mutex mutex_;
    Block eventHandler_ GUARDED_BY(mutex_);
    Block cancelHandler_ GUARDED_BY(mutex_);
    int suspendCount_ GUARDED_BY(mutex_) = 1;  // created suspended
    bool cancelled_ GUARDED_BY(mutex_) = false;
    bool cancelDelivered_ GUARDED_BY(mutex_) = false;
    bool armed_ GUARDED_BY(mutex_) = false;
    bool scheduled_ GUARDED_BY(mutex_) = false;
    bool firePending_ GUARDED_BY(mutex_) = false;
    bool handlerRunning_ GUARDED_BY(mutex_) = false;
    std::uint64_t generation_ GUARDED_BY(mutex_) = 0;  // fires of an earlier setTimer are stale
    DispatchTime nextFire_ GUARDED_BY(mutex_) = 0;
    std::uint64_t interval_ GUARDED_BY(mutex_) = DISPATCH_TIME_FOREVER;
};


}  // namespace

std::shared_ptr<DispatchSourceTimer> DispatchSourceTimer::create(const std::shared_ptr<DispatchQueue>& queue) {
    if (!queue) {
        return nullptr;
    }
    return std::make_shared<TimerImpl>(queue);
}


}  // namespace platform::dispatch
