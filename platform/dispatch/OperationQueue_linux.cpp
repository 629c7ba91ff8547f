#include "platform/dispatch/OperationQueue.h"

#include <algorithm>

#include "platform/thread/Mutex.h"

namespace platform {

void Operation::start() {
    if (!isCancelled()) {
        main();
    }
    {
        platform::MutexLock lock(mutex_);
        finished_ = true;
    }
    finishedChanged_.notify_all();
}

void Operation::waitUntilFinished() {
    platform::MutexLock lock(mutex_);
    finishedChanged_.wait(lock, [this]() REQUIRES(mutex_) { return finished_.load(); });
}

OperationQueue::OperationQueue(std::string name) : name_(std::move(name)) {}

OperationQueue::~OperationQueue() {
    std::vector<std::thread> workers;
    {
        platform::MutexLock lock(mutex_);
        if (suspended_) {
            for (auto& entry : pending_) {
                entry.operation->cancel();
            }
            suspended_ = false;
            spawnWorkerIfNeeded();
            workAvailable_.notify_all();
        }
        idle_.wait(lock, [this]() REQUIRES(mutex_) { return pending_.empty() && running_ == 0; });
        stopping_ = true;
        workers.swap(workers_);
    }
    workAvailable_.notify_all();
    for (auto& worker : workers) {
        // An operation holding the last reference to its own queue ends up here
        // on a worker; joining itself would throw.
        if (worker.get_id() == std::this_thread::get_id()) {
            worker.detach();
        } else {
            worker.join();
        }
    }
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    platform::MutexLock lock(mutex_);
    maxConcurrent_ = count;
    spawnWorkerIfNeeded();
    workAvailable_.notify_all();
}

int OperationQueue::maxConcurrentOperationCount() const {
    platform::MutexLock lock(mutex_);
    return maxConcurrent_;
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
    if (!operation) {
        return;
    }
    platform::MutexLock lock(mutex_);
    pending_.push_back(Entry{std::move(operation), false});
    spawnWorkerIfNeeded();
    workAvailable_.notify_one();
}

void OperationQueue::addOperationWithBlock(std::function<void()> block) {
    addOperation(std::make_shared<BlockOperation>(std::move(block)));
}

void OperationQueue::addBarrierBlock(std::function<void()> block) {
    platform::MutexLock lock(mutex_);
    pending_.push_back(Entry{std::make_shared<BlockOperation>(std::move(block)), true});
    spawnWorkerIfNeeded();
    workAvailable_.notify_one();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    platform::MutexLock lock(mutex_);
    idle_.wait(lock, [this]() REQUIRES(mutex_) { return pending_.empty() && running_ == 0; });
}

void OperationQueue::setSuspended(bool suspended) {
    platform::MutexLock lock(mutex_);
    suspended_ = suspended;
    if (!suspended_) {
        spawnWorkerIfNeeded();
        workAvailable_.notify_all();
    }
}

bool OperationQueue::isSuspended() const {
    platform::MutexLock lock(mutex_);
    return suspended_;
}

void OperationQueue::cancelAllOperations() {
    platform::MutexLock lock(mutex_);
    // Cancelled operations still pass through the queue in order; start() then
    // skips their work, so waiters see them finish.
    for (auto& entry : pending_) {
        entry.operation->cancel();
    }
    for (auto& operation : runningOperations_) {
        operation->cancel();
    }
}

std::size_t OperationQueue::operationCount() const {
    platform::MutexLock lock(mutex_);
    return pending_.size() + static_cast<std::size_t>(running_);
}

int OperationQueue::effectiveMaxConcurrent() const {
    if (maxConcurrent_ >= 0) {
        return maxConcurrent_;
    }
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

bool OperationQueue::canStartFront() const {
    if (suspended_ || pending_.empty() || runningBarrier_) {
        return false;
    }
    if (pending_.front().barrier) {
        return running_ == 0;
    }
    return running_ < effectiveMaxConcurrent();
}

void OperationQueue::spawnWorkerIfNeeded() {
    if (stopping_ || idleWorkers_ > 0 || !canStartFront()) {
        return;
    }
    if (static_cast<int>(workers_.size()) >= effectiveMaxConcurrent()) {
        return;
    }
    workers_.emplace_back([this] { workerLoop(); });
}

void OperationQueue::workerLoop() {
    platform::MutexLock lock(mutex_);
    for (;;) {
        ++idleWorkers_;
        workAvailable_.wait(lock, [this]() REQUIRES(mutex_) { return stopping_ || canStartFront(); });
        --idleWorkers_;
        if (!canStartFront()) {
            return;  // stopping
        }
        Entry entry = std::move(pending_.front());
        pending_.pop_front();
        ++running_;
        runningBarrier_ = entry.barrier;
        runningOperations_.push_back(entry.operation);
        // More may be startable than there are awake workers.
        spawnWorkerIfNeeded();
        if (canStartFront()) {
            workAvailable_.notify_one();
        }

        lock.unlock();
        entry.operation->start();
        lock.lock();

        --running_;
        if (entry.barrier) {
            runningBarrier_ = false;
        }
        auto running = std::find(runningOperations_.begin(), runningOperations_.end(), entry.operation);
        std::shared_ptr<Operation> done = std::move(*running);
        runningOperations_.erase(running);
        if (pending_.empty() && running_ == 0) {
            idle_.notify_all();
        }
        workAvailable_.notify_all();
        // The operation (and what its block captured) may be freed here; that
        // must not happen with the queue's lock held.
        lock.unlock();
        done.reset();
        entry.operation.reset();
        lock.lock();
    }
}

}  // namespace platform
