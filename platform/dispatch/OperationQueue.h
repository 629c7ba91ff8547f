// Operations and operation queues in the manner of the platform's.
//
// Threading: every member of both classes may be called from any thread.
// A queue runs its operations on worker threads of its own (started as work
// arrives, at most maxConcurrentOperationCount at a time, one for a count of
// 1), never on the caller's thread; operations of one queue with a count
// above 1 run concurrently with each other, so what they share needs a lock
// of its own. cancel() may come from any thread while main() runs: main()
// sees it through isCancelled(). waitUntilFinished() and
// waitUntilAllOperationsAreFinished() block their caller and must not be
// called from an operation of the same queue (it would wait for itself).
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread/ConditionVariable.h"

namespace platform {

class Operation {
public:
    virtual ~Operation() = default;
    // Runs main() unless cancelled; marks the operation finished either way.
    void start();
    virtual void main() = 0;
    void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_; }
    bool isFinished() const { return finished_; }
    void waitUntilFinished();

private:
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> finished_{false};
    platform::Mutex mutex_;
    platform::ConditionVariable finishedChanged_;
};

class BlockOperation final : public Operation {
public:
    explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}
    void main() override { block_(); }

private:
    std::function<void()> block_;
};

class OperationQueue {
public:
    static constexpr int kDefaultMaxConcurrentOperationCount = -1;  // as many as there are cores

    explicit OperationQueue(std::string name = {});
    // Waits for the operations already added. On a suspended queue those not yet
    // started could never run, so they are cancelled instead of waited for.
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    void setMaxConcurrentOperationCount(int count);
    int maxConcurrentOperationCount() const;
    void addOperation(std::shared_ptr<Operation> operation);
    void addOperationWithBlock(std::function<void()> block);
    // Runs after every operation added before it and before any added after it.
    void addBarrierBlock(std::function<void()> block);
    void waitUntilAllOperationsAreFinished();
    void setSuspended(bool suspended);
    bool isSuspended() const;
    void cancelAllOperations();
    std::size_t operationCount() const;

private:
    struct Entry {
        std::shared_ptr<Operation> operation;
        bool barrier = false;
    };
    // All with mutex_ held.
    bool canStartFront() const REQUIRES(mutex_);
    int effectiveMaxConcurrent() const REQUIRES(mutex_);
    void spawnWorkerIfNeeded() REQUIRES(mutex_);
    void workerLoop();

    std::string name_;
    mutable platform::Mutex mutex_;
    platform::ConditionVariable workAvailable_;
    platform::ConditionVariable idle_;
    std::deque<Entry> pending_ GUARDED_BY(mutex_);
    int running_ GUARDED_BY(mutex_) = 0;
    std::vector<std::shared_ptr<Operation>> runningOperations_ GUARDED_BY(mutex_);  // so cancelAllOperations reaches them
    bool runningBarrier_ GUARDED_BY(mutex_) = false;
    int maxConcurrent_ GUARDED_BY(mutex_) = kDefaultMaxConcurrentOperationCount;
    bool suspended_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    int idleWorkers_ GUARDED_BY(mutex_) = 0;
    std::vector<std::thread> workers_ GUARDED_BY(mutex_);
};

}  // namespace platform
