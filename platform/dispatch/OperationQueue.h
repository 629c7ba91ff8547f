// Operations and operation queues in the manner of the platform's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    std::mutex mutex_;
    std::condition_variable finishedChanged_;
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
    bool canStartFront() const;
    int effectiveMaxConcurrent() const;
    void spawnWorkerIfNeeded();
    void workerLoop();

    std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable idle_;
    std::deque<Entry> pending_;
    int running_ = 0;
    std::vector<std::shared_ptr<Operation>> runningOperations_;  // so cancelAllOperations reaches them
    bool runningBarrier_ = false;
    int maxConcurrent_ = kDefaultMaxConcurrentOperationCount;
    bool suspended_ = false;
    bool stopping_ = false;
    int idleWorkers_ = 0;
    std::vector<std::thread> workers_;
};

}  // namespace platform
