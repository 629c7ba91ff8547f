#include "platform/dispatch/WorkerPool_linux.h"
#include "platform/memory/NoDestructor.h"

#include <pthread.h>

#include <deque>
#include <thread>
#include <utility>

#include "platform/thread/ConditionVariable.h"

namespace platform::dispatch::detail {

// Everything the threads share. A forked child gets a fresh State: the old
// one is left behind untouched (its threads do not exist there, and its
// mutex was held across the fork).
struct WorkerPool::State {
    mutable platform::Mutex mutex;
    platform::ConditionVariable workAvailable;
    std::deque<Block> handedOver GUARDED_BY(mutex);  // tasks given to idle threads, not yet taken
    std::size_t idle GUARDED_BY(mutex) = 0;          // waiting threads not yet promised a task
    std::size_t threads GUARDED_BY(mutex) = 0;
    std::size_t endingIdle GUARDED_BY(mutex) = 0;     // callers of endIdleThreadsForUnitTest waiting
    std::size_t endAfterTask GUARDED_BY(mutex) = 0;   // threads busy at that call, to end once their task is done
    platform::ConditionVariable idleChanged;
};

namespace {
thread_local Block* tDeferralSlot = nullptr;
}  // namespace

// The State a forked child starts with, made beforehand: the child of a
// threaded process may not allocate (another thread may have held an
// allocator lock at the fork, and the child would wait for it forever).
WorkerPool::State* WorkerPool::childState_ = nullptr;

WorkerPool::DeferralScope::DeferralScope(Block* slot) : previous_(tDeferralSlot) { tDeferralSlot = slot; }

WorkerPool::DeferralScope::~DeferralScope() { tDeferralSlot = previous_; }

WorkerPool& WorkerPool::shared() {
    static platform::NoDestructor<WorkerPool> pool;
    return *pool;
}

WorkerPool::WorkerPool() : state_(new State) {
    pthread_atfork(&WorkerPool::prepareFork, &WorkerPool::parentAfterFork, &WorkerPool::childAfterFork);
}

// The fork handlers hold the state's mutex from before the fork until after it.
void WorkerPool::prepareFork() NO_THREAD_SAFETY_ANALYSIS {
    auto* fresh = new State;
    shared().state_->mutex.lock();
    if (!childState_) {
        childState_ = fresh;
        fresh = nullptr;
    }
    delete fresh;
}

void WorkerPool::parentAfterFork() NO_THREAD_SAFETY_ANALYSIS { shared().state_->mutex.unlock(); }

void WorkerPool::childAfterFork() {
    // Only the forking thread exists in the child. The tasks handed over to
    // idle threads are dropped with the old state (their threads are gone).
    shared().state_ = childState_;
    childState_ = nullptr;
}

void WorkerPool::run(Block task) {
    if (tDeferralSlot && !*tDeferralSlot) {
        *tDeferralSlot = std::move(task);
        return;
    }
    // state_ changes only in a forked child, which has no other thread.
    State* const state = state_;
    {
        platform::MutexLock lock(state->mutex);
        if (state->idle > 0) {
            --state->idle;
            state->handedOver.push_back(std::move(task));
            // Woken after the unlock, the thread does not wait for the lock.
            lock.unlock();
            state->workAvailable.notify_one();
            return;
        }
        ++state->threads;
    }
    std::thread([this, state, task = std::move(task)]() mutable { workerLoop(state, std::move(task)); }).detach();
}

void WorkerPool::workerLoop(State* state, Block task) {
    for (;;) {
        task();
        task = nullptr;  // what the task captured goes before the thread waits

        platform::MutexLock lock(state->mutex);
        if (state->idle >= kMaxIdle || state->endingIdle > 0 || state->endAfterTask > 0) {
            if (state->endAfterTask > 0) --state->endAfterTask;
            --state->threads;
            return;
        }
        ++state->idle;
        // Whoever hands over a task has already counted this thread as busy;
        // a thread that times out (or is told to end) with nothing handed
        // over counts itself out.
        state->workAvailable.wait_for(lock, kIdleTimeout,
                                      [&]() REQUIRES(state->mutex) { return !state->handedOver.empty() || state->endingIdle > 0; });
        if (state->handedOver.empty()) {
            --state->idle;
            --state->threads;
            state->idleChanged.notify_all();
            return;
        }
        task = std::move(state->handedOver.front());
        state->handedOver.pop_front();
    }
}

std::size_t WorkerPool::threadCount() const {
    platform::MutexLock lock(state_->mutex);
    return state_->threads;
}

bool WorkerPool::endIdleThreadsForUnitTest(std::chrono::milliseconds limit) {
    State* const state = state_;
    platform::MutexLock lock(state->mutex);
    state->endAfterTask = state->threads - state->idle;
    ++state->endingIdle;
    state->workAvailable.notify_all();
    const bool ended = state->idleChanged.wait_for(lock, limit, [&]() REQUIRES(state->mutex) { return state->idle == 0; });
    --state->endingIdle;
    return ended;
}

std::size_t WorkerPool::idleCount() const {
    platform::MutexLock lock(state_->mutex);
    return state_->idle;
}

}  // namespace platform::dispatch::detail
