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
#include "platform/dispatch/WorkerPool_linux.h"
#include "platform/thread/ConditionVariable.h"
#include "platform/memory/NoDestructor.h"

namespace platform::dispatch {

using namespace detail;

namespace {

// Concurrent queues get this many threads at most. Blocks on them often wait
// for other blocks (replies, groups), so a pool as small as the core count
// could starve itself.
constexpr int kConcurrentWidth = 64;


// Serial (width 1) and concurrent queues. A worker is borrowed from the shared
// pool when work can start and nobody is free to take it, and goes back as
// soon as nothing more can start, so an idle queue holds no thread. Each
// worker keeps the queue alive.
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
        platform::MutexLock lock(mutex_);
        ++suspendCount_;
    }

    void resume() override {
        if (isGlobal_) {
            return;
        }
        platform::MutexLock lock(mutex_);
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

    bool canStart(bool barrier) const REQUIRES(mutex_) {
        if (suspendCount_ > 0 || barrierRunning_) {
            return false;
        }
        return barrier ? running_ == 0 : running_ < width_;
    }

    bool canStartFront() const REQUIRES(mutex_) { return !items_.empty() && canStart(items_.front().barrier); }

    void markStarted(bool barrier) REQUIRES(mutex_) {
        ++running_;
        barrierRunning_ = barrier;
    }

    void markFinished(bool barrier) REQUIRES(mutex_) {
        --running_;
        if (barrier) {
            barrierRunning_ = false;
        }
    }

    // With mutex_ held: wake sync callers whose turn has come, then make sure
    // some thread will pick up the next block if one can start.
    void startWorkLocked() REQUIRES(mutex_) {
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
            WorkerPool::shared().run([self] { self->workerLoop(); });
        }
    }

    void enqueue(Block block, bool barrier) {
        platform::MutexLock lock(mutex_);
        items_.push_back(Item{std::move(block), barrier, nullptr});
        startWorkLocked();
    }

    void runSync(const Block& block, bool barrier) {
        platform::MutexLock lock(mutex_);
        if (items_.empty() && canStart(barrier)) {
            markStarted(barrier);
        } else {
            bool handedOff = false;
            items_.push_back(Item{nullptr, barrier, &handedOff});
            startWorkLocked();
            handOff_.wait(lock, [&]() REQUIRES(mutex_) { return handedOff; });
        }
        lock.unlock();

        struct Finish {
            QueueImpl* queue;
            bool barrier;
            ~Finish() {
                platform::MutexLock lock(queue->mutex_);
                queue->markFinished(barrier);
                queue->startWorkLocked();
            }
        } finish{this, barrier};
        CurrentQueueScope scope(this);
        block();
    }

    void workerLoop() {
        CurrentQueueScope scope(this);
        platform::MutexLock lock(mutex_);
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

    platform::Mutex mutex_;
    platform::ConditionVariable handOff_;
    std::deque<Item> items_ GUARDED_BY(mutex_);
    int running_ GUARDED_BY(mutex_) = 0;
    bool barrierRunning_ GUARDED_BY(mutex_) = false;
    int suspendCount_ GUARDED_BY(mutex_) = 0;
    int availableWorkers_ GUARDED_BY(mutex_) = 0;  // live workers not running a block
};

}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(const std::string& label, QualityOfService qos) {
    return std::make_shared<QueueImpl>(label, qos, 1, false);
}

std::shared_ptr<DispatchQueue> DispatchQueue::createConcurrent(const std::string& label, QualityOfService qos) {
    return std::make_shared<QueueImpl>(label, qos, kConcurrentWidth, false);
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(QualityOfService qos) {
    using Queues = std::vector<std::shared_ptr<DispatchQueue>>;
    static platform::NoDestructor<Queues> queues(Queues{
        std::make_shared<QueueImpl>("global.background", QualityOfService::Background, kConcurrentWidth, true),
        std::make_shared<QueueImpl>("global.utility", QualityOfService::Utility, kConcurrentWidth, true),
        std::make_shared<QueueImpl>("global.default", QualityOfService::Default, kConcurrentWidth, true),
        std::make_shared<QueueImpl>("global.user-initiated", QualityOfService::UserInitiated, kConcurrentWidth, true),
        std::make_shared<QueueImpl>("global.user-interactive", QualityOfService::UserInteractive, kConcurrentWidth,
                                    true),
    });
    return (*queues)[static_cast<std::size_t>(qos)];
}

}  // namespace platform::dispatch
