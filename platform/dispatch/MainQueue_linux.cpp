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
#include "platform/thread/ConditionVariable.h"
#include "platform/memory/NoDestructor.h"

namespace platform::dispatch {

using namespace detail;

namespace {

// The main queue has no threads of its own: runMainQueue() drains it on the
// calling thread, or a window front end's executor receives its blocks.
class MainQueue final : public DispatchQueue {
public:
    const std::string& label() const override { return label_; }
    QualityOfService qualityOfService() const override { return QualityOfService::UserInteractive; }

    void async(Block block) override {
        platform::MutexLock lock(mutex_);
        items_.push_back(std::move(block));
        changed_.notify_all();
        drainToExecutorLocked();
    }
    void asyncBarrier(Block block) override { async(std::move(block)); }

    // Runs the block on the main thread (the thread draining the queue), as the
    // platform does for its main queue, and waits for it.
    void sync(const Block& block) override {
        platform::Mutex doneMutex;
        platform::ConditionVariable doneChanged;
        bool done = false;
        async([&] {
            block();
            platform::MutexLock lock(doneMutex);
            done = true;
            doneChanged.notify_all();
        });
        platform::MutexLock lock(doneMutex);
        doneChanged.wait(lock, [&]() REQUIRES(doneMutex) { return done; });
    }
    void syncBarrier(const Block& block) override { sync(block); }

    void after(DispatchTime deadline, Block block) override {
        Scheduler::shared().schedule(deadline, [this, block = std::move(block)]() mutable { async(std::move(block)); });
    }

    bool isCurrent() const override { return tCurrentQueue == this; }

    void suspend() override {
        platform::MutexLock lock(mutex_);
        ++suspendCount_;
    }

    void resume() override {
        platform::MutexLock lock(mutex_);
        if (suspendCount_ > 0 && --suspendCount_ == 0) {
            changed_.notify_all();
            drainToExecutorLocked();
        }
    }

    void run() {
        platform::MutexLock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this]() REQUIRES(mutex_) { return stopRequested_ || (suspendCount_ == 0 && !executor_ && !items_.empty()); });
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
        platform::MutexLock lock(mutex_);
        stopRequested_ = true;
        changed_.notify_all();
    }

    void setExecutor(std::function<void(Block)> executor) {
        platform::MutexLock lock(mutex_);
        executor_ = std::move(executor);
        changed_.notify_all();
        drainToExecutorLocked();
    }

private:
    // Hands the blocks to the executor in order, outside the lock so that an
    // executor may add to the main queue itself. One thread drains at a time.
    void drainToExecutorLocked() REQUIRES(mutex_) {
        if (!executor_ || draining_) {
            return;
        }
        draining_ = true;
        while (executor_ && suspendCount_ == 0 && !items_.empty()) {
            Block block = std::move(items_.front());
            items_.pop_front();
            auto executor = executor_;
            mutex_.unlock();
            executor([this, block = std::move(block)] {
                CurrentQueueScope scope(this);
                block();
            });
            mutex_.lock();
        }
        draining_ = false;
    }

    const std::string label_ = "main";
    platform::Mutex mutex_;
    platform::ConditionVariable changed_;
    std::deque<Block> items_ GUARDED_BY(mutex_);
    int suspendCount_ GUARDED_BY(mutex_) = 0;
    bool stopRequested_ GUARDED_BY(mutex_) = false;
    bool draining_ GUARDED_BY(mutex_) = false;
    std::function<void(Block)> executor_ GUARDED_BY(mutex_);
};

MainQueue& mainQueueImpl() {
    static platform::NoDestructor<std::shared_ptr<MainQueue>> queue(std::make_shared<MainQueue>());
    return **queue;
}

}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::main() { return mainQueueImpl().shared_from_this(); }

void runMainQueue() { mainQueueImpl().run(); }

void stopMainQueue() { mainQueueImpl().stop(); }

void setMainQueueExecutor(std::function<void(Block)> executor) { mainQueueImpl().setExecutor(std::move(executor)); }

}  // namespace platform::dispatch
