#include "platform/dispatch/WorkerPool_linux.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "support/Events.h"

using namespace platform::dispatch;
using platform::dispatch::detail::WorkerPool;
using namespace std::chrono_literals;

namespace {

// Polls a condition about the pool, which settles a little after the tasks end.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms) {
    return testsupport::waitUntil(condition, limit);
}

}  // namespace

TEST(WorkerPoolTest, QueuesGoingIdleAndBusyAgainReuseTheSameThreads) {
    WorkerPool& pool = WorkerPool::shared();
    auto queue = DispatchQueue::createSerial("com.nerova.test.pool.reuse");
    testsupport::Events<int> events;
    queue->async([&] { events.add(); });
    ASSERT_TRUE(events.waitFor(1));
    ASSERT_TRUE(eventually([&] { return pool.idleCount() >= 1; }));
    const std::size_t threads = pool.threadCount();
    for (int i = 2; i <= 200; ++i) {
        queue->async([&] { events.add(); });
        ASSERT_TRUE(events.waitFor(static_cast<std::size_t>(i)));
        ASSERT_TRUE(eventually([&] { return pool.idleCount() >= 1; }));
    }
    EXPECT_LE(pool.threadCount(), threads);
}

TEST(WorkerPoolTest, BlockedTasksNeverStarveOthersAndAtMostSixteenThreadsStayIdleForAWhile) {
    WorkerPool& pool = WorkerPool::shared();
    constexpr int kTasks = 40;
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    bool release = false;
    for (int i = 0; i < kTasks; ++i) {
        pool.run([&] {
            std::unique_lock<std::mutex> lock(mutex);
            ++started;
            changed.notify_all();
            // Every task waits for all the others: they must run side by side.
            changed.wait(lock, [&] { return release || started == kTasks; });
            release = true;
            changed.notify_all();
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return release; }));
    }
    EXPECT_TRUE(eventually([&] { return pool.threadCount() == WorkerPool::kMaxIdle; }));
    EXPECT_EQ(pool.idleCount(), WorkerPool::kMaxIdle);
    // Idle threads end after the idle time.
    const auto idleSince = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return pool.threadCount() == 0; }, WorkerPool::kIdleTimeout * 3));
    EXPECT_GE(std::chrono::steady_clock::now() - idleSince, WorkerPool::kIdleTimeout / 2);
    EXPECT_EQ(pool.idleCount(), 0u);
}

TEST(WorkerPoolTest, ForkedChildStartsWithAnEmptyPoolThatStillWorks) {
    WorkerPool& pool = WorkerPool::shared();
    testsupport::Events<int> events;
    for (int i = 0; i < 4; ++i) pool.run([&] { events.add(); });
    ASSERT_TRUE(events.waitFor(4));
    ASSERT_TRUE(eventually([&] { return pool.idleCount() >= 1; }));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (pool.threadCount() != 0 || pool.idleCount() != 0) _exit(2);
#if !defined(__SANITIZE_THREAD__)
        // (ThreadSanitizer does not let a child of a threaded process start threads.)
        auto queue = DispatchQueue::createSerial("com.nerova.test.pool.child");
        testsupport::Events<int> childEvents;
        queue->async([&] { childEvents.add(); });
        if (!childEvents.waitFor(1)) _exit(3);
#endif
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GE(pool.idleCount(), 1u);  // the parent's pool is untouched
}

TEST(WorkerPoolTest, ADeferralScopeKeepsTheFirstTaskForTheCallingThreadOnly) {
    WorkerPool& pool = WorkerPool::shared();
    testsupport::Events<int> events;
    Block kept;
    {
        WorkerPool::DeferralScope scope(&kept);
        pool.run([&] { events.add(1); });
        pool.run([&] { events.add(2); });  // the slot is taken: this one goes to a pool thread
        ASSERT_TRUE(events.waitFor(1));
    }
    EXPECT_EQ(events.values(), std::vector<int>{2});
    ASSERT_TRUE(kept);
    kept();
    EXPECT_EQ(events.values(), (std::vector<int>{2, 1}));
    // Outside the scope nothing is kept.
    pool.run([&] { events.add(3); });
    EXPECT_TRUE(events.waitFor(3));
}

// A test ends the idle threads at once, long before their idle time is up;
// a busy thread goes on with its task and ends once it is done, and the pool
// works on after.
TEST(WorkerPoolTest, IdleThreadsEndAtOnceWhenATestAsks) {
    WorkerPool& pool = WorkerPool::shared();
    testsupport::Events<int> events;
    std::mutex mutex;
    std::condition_variable changed;
    bool release = false;
    pool.run([&] {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return release; });
        lock.unlock();
        events.add();
    });
    for (int i = 0; i < 3; ++i) pool.run([&] { events.add(); });
    ASSERT_TRUE(events.waitFor(3));
    ASSERT_TRUE(eventually([&] { return pool.idleCount() >= 1; }));
    const std::size_t before = pool.threadCount();
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(pool.endIdleThreadsForUnitTest(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, WorkerPool::kIdleTimeout / 2);
    EXPECT_EQ(pool.idleCount(), 0u);
    const std::size_t ended = pool.threadCount();
    EXPECT_LT(ended, before);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    ASSERT_TRUE(events.waitFor(4));
    // Well within the idle time: the thread did not wait for work first.
    EXPECT_TRUE(eventually([&] { return pool.threadCount() < ended && pool.idleCount() == 0; },
                           WorkerPool::kIdleTimeout / 2));
    pool.run([&] { events.add(); });
    EXPECT_TRUE(events.waitFor(5));
}
