#include "platform/dispatch/Dispatch.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace platform::dispatch {

namespace {

using Clock = std::chrono::steady_clock;

// Times this far out (146 years of uptime) can only come from FOREVER or
// arithmetic on it; they must never reach the clock, whose 64-bit signed
// nanoseconds would overflow.
constexpr DispatchTime kNeverThreshold = 1ull << 62;

// Concurrent queues get this many threads at most. Blocks on them often wait
// for other blocks (replies, groups), so a pool as small as the core count
// could starve itself.
constexpr int kConcurrentWidth = 64;

DispatchTime nowNanoseconds() {
    return static_cast<DispatchTime>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

bool isNever(DispatchTime time) { return time >= kNeverThreshold; }

Clock::time_point toTimePoint(DispatchTime time) {
    return Clock::time_point(std::chrono::nanoseconds(static_cast<std::int64_t>(time)));
}

thread_local const DispatchQueue* tCurrentQueue = nullptr;

// Marks the running thread as executing blocks of a queue for isCurrent().
class CurrentQueueScope {
public:
    explicit CurrentQueueScope(const DispatchQueue* queue) : previous_(tCurrentQueue) { tCurrentQueue = queue; }
    ~CurrentQueueScope() { tCurrentQueue = previous_; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    const DispatchQueue* previous_;
};

// One thread that runs callbacks at their deadlines: `after` and timer sources.
// Callbacks only hand work to queues, so one thread is enough.
class Scheduler {
public:
    static Scheduler& shared() {
        // Never destroyed: worker threads may still schedule while the process exits.
        static Scheduler* scheduler = new Scheduler;
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

// Serial (width 1) and concurrent queues. Worker threads are started when work
// can start and nobody is free to take it, and end as soon as nothing more can
// start, so an idle queue holds no thread. Each worker keeps the queue alive.
class QueueImpl final : public DispatchQueue {
public:
    QueueImpl(std::string label, QualityOfService qos, int width, bool isGlobal)
        : label_(std::move(label)), qos_(qos), width_(width), isGlobal_(isGlobal) {}

    const std::string& label() const override { return label_; }
    QualityOfService qualityOfService() const override { return qos_; }

    void async(Block block) override { enqueue(std::move(block), false); }
    void asyncBarrier(Block block) override { enqueue(std::move(block), !isGlobal_); }
    void sync(const Block& block) override { runSync(block, false); }
    void syncBarrier(const Block& block) override { runSync(block, !isGlobal_); }

    void after(DispatchTime deadline, Block block) override {
        auto self = shared_from_this();
        Scheduler::shared().schedule(deadline, [self, block = std::move(block)]() mutable {
            self->async(std::move(block));
        });
    }

    bool isCurrent() const override { return tCurrentQueue == this; }

    // The platform ignores suspension of its global queues.
    void suspend() override {
        if (isGlobal_) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++suspendCount_;
    }

    void resume() override {
        if (isGlobal_) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        // A resume without a suspend would crash on the platform; here it is
        // simply ignored rather than letting the count go negative.
        if (suspendCount_ > 0 && --suspendCount_ == 0) {
            startWorkLocked();
        }
    }

private:
    struct Item {
        Block block;
        bool barrier = false;
        bool* handedOff = nullptr;  // set for sync(): the caller runs the block
    };

    bool canStart(bool barrier) const {
        if (suspendCount_ > 0 || barrierRunning_) {
            return false;
        }
        return barrier ? running_ == 0 : running_ < width_;
    }

    bool canStartFront() const { return !items_.empty() && canStart(items_.front().barrier); }

    void markStarted(bool barrier) {
        ++running_;
        barrierRunning_ = barrier;
    }

    void markFinished(bool barrier) {
        --running_;
        if (barrier) {
            barrierRunning_ = false;
        }
    }

    // With mutex_ held: wake sync callers whose turn has come, then make sure
    // some thread will pick up the next block if one can start.
    void startWorkLocked() {
        while (canStartFront() && items_.front().handedOff) {
            Item item = std::move(items_.front());
            items_.pop_front();
            markStarted(item.barrier);
            *item.handedOff = true;
            handOff_.notify_all();
        }
        if (canStartFront() && availableWorkers_ == 0) {
            ++availableWorkers_;
            auto self = std::static_pointer_cast<QueueImpl>(shared_from_this());
            std::thread([self] { self->workerLoop(); }).detach();
        }
    }

    void enqueue(Block block, bool barrier) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(Item{std::move(block), barrier, nullptr});
        startWorkLocked();
    }

    void runSync(const Block& block, bool barrier) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (items_.empty() && canStart(barrier)) {
            markStarted(barrier);
        } else {
            bool handedOff = false;
            items_.push_back(Item{nullptr, barrier, &handedOff});
            startWorkLocked();
            handOff_.wait(lock, [&] { return handedOff; });
        }
        lock.unlock();

        struct Finish {
            QueueImpl* queue;
            bool barrier;
            ~Finish() {
                std::lock_guard<std::mutex> lock(queue->mutex_);
                queue->markFinished(barrier);
                queue->startWorkLocked();
            }
        } finish{this, barrier};
        CurrentQueueScope scope(this);
        block();
    }

    void workerLoop() {
        CurrentQueueScope scope(this);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            startWorkLocked();  // hands sync items at the front to their callers
            if (!canStartFront()) {
                --availableWorkers_;
                return;
            }
            Item item = std::move(items_.front());
            items_.pop_front();
            markStarted(item.barrier);
            --availableWorkers_;
            startWorkLocked();  // more may be able to run beside this one

            lock.unlock();
            item.block();
            item.block = nullptr;  // what the block captured goes without the lock held
            lock.lock();

            markFinished(item.barrier);
            ++availableWorkers_;
        }
    }

    const std::string label_;
    const QualityOfService qos_;
    const int width_;
    const bool isGlobal_;

    std::mutex mutex_;
    std::condition_variable handOff_;
    std::deque<Item> items_;
    int running_ = 0;
    bool barrierRunning_ = false;
    int suspendCount_ = 0;
    int availableWorkers_ = 0;  // live workers not running a block
};

// The main queue has no threads of its own: runMainQueue() drains it on the
// calling thread, or a window front end's executor receives its blocks.
class MainQueue final : public DispatchQueue {
public:
    const std::string& label() const override { return label_; }
    QualityOfService qualityOfService() const override { return QualityOfService::UserInteractive; }

    void async(Block block) override {
        std::unique_lock<std::mutex> lock(mutex_);
        items_.push_back(std::move(block));
        changed_.notify_all();
        drainToExecutorLocked(lock);
    }
    void asyncBarrier(Block block) override { async(std::move(block)); }

    // Runs the block on the main thread (the thread draining the queue), as the
    // platform does for its main queue, and waits for it.
    void sync(const Block& block) override {
        std::mutex doneMutex;
        std::condition_variable doneChanged;
        bool done = false;
        async([&] {
            block();
            std::lock_guard<std::mutex> lock(doneMutex);
            done = true;
            doneChanged.notify_all();
        });
        std::unique_lock<std::mutex> lock(doneMutex);
        doneChanged.wait(lock, [&] { return done; });
    }
    void syncBarrier(const Block& block) override { sync(block); }

    void after(DispatchTime deadline, Block block) override {
        Scheduler::shared().schedule(deadline, [this, block = std::move(block)]() mutable { async(std::move(block)); });
    }

    bool isCurrent() const override { return tCurrentQueue == this; }

    void suspend() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++suspendCount_;
    }

    void resume() override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (suspendCount_ > 0 && --suspendCount_ == 0) {
            changed_.notify_all();
            drainToExecutorLocked(lock);
        }
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stopRequested_ || (suspendCount_ == 0 && !executor_ && !items_.empty()); });
            if (stopRequested_) {
                stopRequested_ = false;
                return;
            }
            Block block = std::move(items_.front());
            items_.pop_front();
            lock.unlock();
            {
                CurrentQueueScope scope(this);
                block();
                block = nullptr;
            }
            lock.lock();
        }
    }

    // A stop that comes before the drain starts is kept, so that a completion
    // arriving early cannot leave the front end waiting for ever.
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        changed_.notify_all();
    }

    void setExecutor(std::function<void(Block)> executor) {
        std::unique_lock<std::mutex> lock(mutex_);
        executor_ = std::move(executor);
        changed_.notify_all();
        drainToExecutorLocked(lock);
    }

private:
    // Hands the blocks to the executor in order, outside the lock so that an
    // executor may add to the main queue itself. One thread drains at a time.
    void drainToExecutorLocked(std::unique_lock<std::mutex>& lock) {
        if (!executor_ || draining_) {
            return;
        }
        draining_ = true;
        while (executor_ && suspendCount_ == 0 && !items_.empty()) {
            Block block = std::move(items_.front());
            items_.pop_front();
            auto executor = executor_;
            lock.unlock();
            executor([this, block = std::move(block)] {
                CurrentQueueScope scope(this);
                block();
            });
            lock.lock();
        }
        draining_ = false;
    }

    const std::string label_ = "main";
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Block> items_;
    int suspendCount_ = 0;
    bool stopRequested_ = false;
    bool draining_ = false;
    std::function<void(Block)> executor_;
};

MainQueue& mainQueueImpl() {
    static auto* queue = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
    return **queue;
}

class GroupImpl final : public DispatchGroup, public std::enable_shared_from_this<GroupImpl> {
public:
    void enter() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
    }

    void leave() override {
        std::vector<std::pair<std::shared_ptr<DispatchQueue>, Block>> notifications;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // An unbalanced leave crashes on the platform; here it is ignored so
            // the group cannot go below empty.
            if (count_ == 0) {
                return;
            }
            if (--count_ > 0) {
                return;
            }
            notifications.swap(notifications_);
            emptied_.notify_all();
        }
        for (auto& [queue, block] : notifications) {
            queue->async(std::move(block));
        }
    }

    long wait(DispatchTime deadline) override {
        std::unique_lock<std::mutex> lock(mutex_);
        auto isEmpty = [this] { return count_ == 0; };
        if (isNever(deadline)) {
            emptied_.wait(lock, isEmpty);
            return 0;
        }
        return emptied_.wait_until(lock, toTimePoint(deadline), isEmpty) ? 0 : 1;
    }

    void notify(const std::shared_ptr<DispatchQueue>& queue, Block block) override {
        if (!queue) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (count_ > 0) {
                notifications_.emplace_back(queue, std::move(block));
                return;
            }
        }
        queue->async(std::move(block));
    }

    void async(const std::shared_ptr<DispatchQueue>& queue, Block block) override {
        if (!queue) {
            return;
        }
        enter();
        queue->async([self = shared_from_this(), block = std::move(block)] {
            block();
            self->leave();
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable emptied_;
    long count_ = 0;
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, Block>> notifications_;
};

// The scheduler holds a timer only weakly: a timer nobody holds stops. Event
// handlers of one timer never overlap, even on a concurrent queue, and the
// cancel handler runs after the last event handler; fires that come while a
// handler runs or while the timer is suspended are merged into one.
class TimerImpl final : public DispatchSourceTimer, public std::enable_shared_from_this<TimerImpl> {
public:
    explicit TimerImpl(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}

    void setTimer(DispatchTime start, std::uint64_t intervalNanoseconds, std::uint64_t leewayNanoseconds) override {
        std::lock_guard<std::mutex> lock(mutex_);
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
        std::lock_guard<std::mutex> lock(mutex_);
        if (!cancelled_) {
            eventHandler_ = std::move(handler);
        }
    }

    void setCancelHandler(Block handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!cancelled_) {
            cancelHandler_ = std::move(handler);
        }
    }

    void cancel() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_) {
            return;
        }
        cancelled_ = true;
        ++generation_;
        deliverCancelIfDueLocked();
    }

    bool isCancelled() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return cancelled_;
    }

    void suspend() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++suspendCount_;
    }

    void resume() override {
        std::lock_guard<std::mutex> lock(mutex_);
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
    void scheduleLocked() {
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
        std::lock_guard<std::mutex> lock(mutex_);
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

    void deliverEventLocked() {
        handlerRunning_ = true;
        queue_->async([self = shared_from_this()] { self->runEventHandler(); });
    }

    void runEventHandler() {
        Block handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!cancelled_) {
                handler = eventHandler_;
            }
        }
        if (handler) {
            handler();
        }
        handler = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        handlerRunning_ = false;
        if (cancelled_) {
            deliverCancelIfDueLocked();
        } else if (firePending_ && suspendCount_ == 0) {
            firePending_ = false;
            deliverEventLocked();
        }
    }

    void deliverCancelIfDueLocked() {
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
            std::lock_guard<std::mutex> lock(mutex_);
            cancelHandler.swap(cancelHandler_);
            eventHandler.swap(eventHandler_);
        }
        if (cancelHandler) {
            cancelHandler();
        }
    }

    const std::shared_ptr<DispatchQueue> queue_;
    mutable std::mutex mutex_;
    Block eventHandler_;
    Block cancelHandler_;
    int suspendCount_ = 1;  // created suspended
    bool cancelled_ = false;
    bool cancelDelivered_ = false;
    bool armed_ = false;
    bool scheduled_ = false;
    bool firePending_ = false;
    bool handlerRunning_ = false;
    std::uint64_t generation_ = 0;  // fires of an earlier setTimer are stale
    DispatchTime nextFire_ = 0;
    std::uint64_t interval_ = DISPATCH_TIME_FOREVER;
};

}  // namespace

DispatchTime dispatchTime(DispatchTime when, std::int64_t deltaNanoseconds) {
    if (when == DISPATCH_TIME_FOREVER) {
        return DISPATCH_TIME_FOREVER;
    }
    const DispatchTime base = when == DISPATCH_TIME_NOW ? nowNanoseconds() : when;
    if (deltaNanoseconds >= 0) {
        const auto delta = static_cast<DispatchTime>(deltaNanoseconds);
        if (base >= DISPATCH_TIME_FOREVER - delta) {
            return DISPATCH_TIME_FOREVER;
        }
        return base + delta;
    }
    const DispatchTime magnitude = static_cast<DispatchTime>(-(deltaNanoseconds + 1)) + 1;
    // Far in the past, but never the value that means "now".
    return magnitude >= base ? 1 : base - magnitude;
}

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(const std::string& label, QualityOfService qos) {
    return std::make_shared<QueueImpl>(label, qos, 1, false);
}

std::shared_ptr<DispatchQueue> DispatchQueue::createConcurrent(const std::string& label, QualityOfService qos) {
    return std::make_shared<QueueImpl>(label, qos, kConcurrentWidth, false);
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(QualityOfService qos) {
    static auto* queues = new std::vector<std::shared_ptr<DispatchQueue>>{
        std::make_shared<QueueImpl>("global.background", QualityOfService::Background, kConcurrentWidth, true),
        std::make_shared<QueueImpl>("global.utility", QualityOfService::Utility, kConcurrentWidth, true),
        std::make_shared<QueueImpl>("global.default", QualityOfService::Default, kConcurrentWidth, true),
        std::make_shared<QueueImpl>("global.user-initiated", QualityOfService::UserInitiated, kConcurrentWidth, true),
        std::make_shared<QueueImpl>("global.user-interactive", QualityOfService::UserInteractive, kConcurrentWidth,
                                    true),
    };
    return (*queues)[static_cast<std::size_t>(qos)];
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() { return mainQueueImpl().shared_from_this(); }

void runMainQueue() { mainQueueImpl().run(); }

void stopMainQueue() { mainQueueImpl().stop(); }

void setMainQueueExecutor(std::function<void(Block)> executor) { mainQueueImpl().setExecutor(std::move(executor)); }

std::shared_ptr<DispatchGroup> DispatchGroup::create() { return std::make_shared<GroupImpl>(); }

std::shared_ptr<DispatchSourceTimer> DispatchSourceTimer::create(const std::shared_ptr<DispatchQueue>& queue) {
    if (!queue) {
        return nullptr;
    }
    return std::make_shared<TimerImpl>(queue);
}

}  // namespace platform::dispatch
