// The threads every queue of this folder borrows to run its blocks. A queue
// takes a thread when it goes from idle to busy and gives it back when it has
// nothing more to start, so a busy queue costs no thread start. Threads left
// idle wait a while for more work, then end; a process forked from this one
// starts with no pool thread at all. Not part of the layer's interface.
#pragma once

#include <chrono>
#include <cstddef>

#include "platform/dispatch/Dispatch.h"
#include "platform/memory/NoDestructor.h"

namespace platform::dispatch::detail {

class WorkerPool {
public:
    // How long an idle thread waits for work before it ends, and how many
    // idle threads are kept at most.
    static constexpr std::chrono::milliseconds kIdleTimeout{2000};
    static constexpr std::size_t kMaxIdle = 16;

    // Never destroyed: queues may hand over work while the process exits.
    static WorkerPool& shared();

    // Runs task on an idle thread, or on a new one when none is idle. Tasks
    // may block; the pool never makes one wait for another.
    void run(Block task);

    // While one lives on a thread, the first task that thread gives to run()
    // is kept in `slot` instead, for the thread to run itself once it is done
    // with what it is doing: an event thread that hands the events to a
    // queue then runs the queue's work without waking another thread first.
    // Whoever opens the scope must run the task (or hand it to run()).
    class DeferralScope {
    public:
        explicit DeferralScope(Block* slot);
        ~DeferralScope();
        DeferralScope(const DeferralScope&) = delete;
        DeferralScope& operator=(const DeferralScope&) = delete;

    private:
        Block* previous_;
    };

    // For tests: threads alive, and those waiting for work.
    std::size_t threadCount() const;
    std::size_t idleCount() const;
    // For tests: ends the idle threads now instead of after kIdleTimeout, and
    // waits up to `limit` until none is left; true when none is idle any
    // more. As many threads as are busy now end once their task is done,
    // after this has returned too, instead of waiting for work. A test that
    // ran work on pool threads ends them before it returns, so that their
    // thread-local state (a library's error queue or random generator) is
    // freed as the thread ends rather than reported as lost at exit.
    bool endIdleThreadsForUnitTest(std::chrono::milliseconds limit);

private:
    // The one instance is made by shared() and never destroyed.
    friend class platform::NoDestructor<WorkerPool>;
    struct State;
    WorkerPool();
    void workerLoop(State* state, Block task);
    static void prepareFork();
    static void parentAfterFork();
    static void childAfterFork();

    State* state_;
    static State* childState_;  // guarded by state_->mutex
};

}  // namespace platform::dispatch::detail
