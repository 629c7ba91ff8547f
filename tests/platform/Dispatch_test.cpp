#include "platform/dispatch/Dispatch.h"

#include <gtest/gtest.h>

#include "support/Events.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using namespace platform::dispatch;
using namespace std::chrono_literals;

namespace {

using Events = testsupport::Events<int>;

DispatchTime in(std::chrono::milliseconds delay) {
    return dispatchTime(DISPATCH_TIME_NOW, std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count());
}

}  // namespace

TEST(DispatchTimeTest, OffsetsFromNowAndKeepsForever) {
    const DispatchTime before = dispatchTime(DISPATCH_TIME_NOW, 0);
    const DispatchTime later = dispatchTime(DISPATCH_TIME_NOW, NSEC_PER_SEC);
    EXPECT_GE(later - before, static_cast<DispatchTime>(NSEC_PER_SEC));
    EXPECT_LT(later - before, static_cast<DispatchTime>(2 * NSEC_PER_SEC));
    EXPECT_EQ(dispatchTime(later, -NSEC_PER_SEC) + NSEC_PER_SEC, later);
    EXPECT_EQ(dispatchTime(DISPATCH_TIME_FOREVER, -NSEC_PER_SEC), DISPATCH_TIME_FOREVER);
    EXPECT_EQ(dispatchTime(DISPATCH_TIME_FOREVER - 5, 10), DISPATCH_TIME_FOREVER);
    // A time before the clock's start is still a past time, not "now".
    EXPECT_NE(dispatchTime(5, -10), DISPATCH_TIME_NOW);
}

TEST(DispatchQueueTest, SerialQueueRunsBlocksOneAtATimeInOrder) {
    auto queue = DispatchQueue::createSerial("com.nerova.test.serial", QualityOfService::Utility);
    EXPECT_EQ(queue->label(), "com.nerova.test.serial");
    EXPECT_EQ(queue->qualityOfService(), QualityOfService::Utility);
    EXPECT_FALSE(queue->isCurrent());

    std::vector<int> order;  // touched only on the queue
    std::atomic<int> active{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> notCurrent{false};
    for (int i = 0; i < 200; ++i) {
        auto block = [&, i] {
            if (++active > 1) overlapped = true;
            if (!queue->isCurrent()) notCurrent = true;
            if (i % 50 == 0) std::this_thread::sleep_for(1ms);
            order.push_back(i);
            --active;
        };
        if (i % 10 == 9) {
            queue->sync(block);
        } else {
            queue->async(block);
        }
    }
    std::vector<int> seen;
    queue->sync([&] { seen = order; });
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_FALSE(overlapped.load());
    EXPECT_FALSE(notCurrent.load());
}

TEST(DispatchQueueTest, ConcurrentQueueOverlapsBlocksButBarrierRunsAlone) {
    auto queue = DispatchQueue::createConcurrent("com.nerova.test.concurrent");
    std::mutex mutex;
    std::condition_variable cv;
    int started = 0;
    std::vector<int> order;
    std::atomic<int> active{0};
    int activeInBarrier = -1;
    for (int i = 0; i < 4; ++i) {
        queue->async([&, i] {
            ++active;
            std::unique_lock<std::mutex> lock(mutex);
            ++started;
            cv.notify_all();
            // Finishes only once all four run at the same time.
            EXPECT_TRUE(cv.wait_for(lock, 5s, [&] { return started == 4; }));
            order.push_back(i);
            --active;
        });
    }
    queue->asyncBarrier([&] {
        activeInBarrier = active.load();
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(100);
    });
    for (int i = 4; i < 8; ++i) {
        queue->async([&, i] {
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(i);
        });
    }
    std::vector<int> seen;
    queue->syncBarrier([&] { seen = order; });
    EXPECT_EQ(activeInBarrier, 0);
    ASSERT_EQ(seen.size(), 9u);
    EXPECT_EQ(seen[4], 100);
}

TEST(DispatchQueueTest, SuspendedQueueHoldsBlocksUntilResumedAsOftenAsSuspended) {
    auto queue = DispatchQueue::createSerial("com.nerova.test.suspend");
    Events events;
    queue->suspend();
    queue->suspend();
    queue->async([&] { events.add(1); });
    queue->resume();
    EXPECT_FALSE(events.waitFor(1, 50ms));
    queue->resume();
    EXPECT_TRUE(events.waitFor(1));
    // A resume too many must not undo a later suspension.
    queue->resume();
    queue->suspend();
    queue->async([&] { events.add(2); });
    EXPECT_FALSE(events.waitFor(2, 50ms));
    queue->resume();
    EXPECT_TRUE(events.waitFor(2));
}

TEST(DispatchQueueTest, AfterRunsNoEarlierThanItsDeadlineAndInDeadlineOrder) {
    auto queue = DispatchQueue::createSerial("com.nerova.test.after");
    Events events;
    // One reading of the clock for both deadlines and the check.
    const DispatchTime start = dispatchTime(DISPATCH_TIME_NOW, 0);
    queue->after(dispatchTime(start, 60 * NSEC_PER_MSEC), [&] { events.add(2); });
    queue->after(dispatchTime(start, 20 * NSEC_PER_MSEC), [&] { events.add(1); });
    queue->after(DISPATCH_TIME_FOREVER, [&] { events.add(99); });
    ASSERT_TRUE(events.waitFor(2));
    EXPECT_GE(dispatchTime(DISPATCH_TIME_NOW, 0) - start, static_cast<DispatchTime>(60 * NSEC_PER_MSEC));
    EXPECT_EQ(events.values(), (std::vector<int>{1, 2}));
}

TEST(DispatchQueueTest, GlobalQueuesAreSharedPerQualityOfService) {
    EXPECT_EQ(DispatchQueue::global(), DispatchQueue::global(QualityOfService::Default));
    EXPECT_NE(DispatchQueue::global(QualityOfService::Utility), DispatchQueue::global());
    Events events;
    DispatchQueue::global(QualityOfService::Background)->async([&] { events.add(); });
    EXPECT_TRUE(events.waitFor(1));
}

// The queue assertion passes inside the queue's blocks, sync ones included,
// and in debug builds stops a caller outside them, naming the queue.
TEST(DispatchQueueTest, AssertQueuePassesOnItsQueueOnly) {
    auto queue = DispatchQueue::createSerial("assert.queue");
    auto other = DispatchQueue::createSerial("assert.other");
    queue->sync([&] { dispatchAssertQueue(*queue); });
    std::atomic<bool> ran{false};
    queue->async([&] {
        dispatchAssertQueue(*queue);
        ran = true;
    });
    queue->sync([] {});
    EXPECT_TRUE(ran);
#ifdef NDEBUG
    dispatchAssertQueue(*queue);  // release builds check nothing
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(dispatchAssertQueue(*queue), "queue \"assert.queue\" is running outside");
    EXPECT_DEATH(other->sync([&] { dispatchAssertQueue(*queue); }), "assert.queue");
#endif
}

TEST(DispatchMainQueueTest, DrainsInOrderOnTheCallingThreadUntilStopped) {
    auto main = DispatchQueue::main();
    std::vector<int> order;
    std::thread::id ranOn;
    bool wasCurrent = false;
    std::thread producer([&] {
        for (int i = 0; i < 5; ++i) main->async([&, i] { order.push_back(i); });
        main->sync([&] {
            ranOn = std::this_thread::get_id();
            wasCurrent = main->isCurrent();
        });
        main->async([] { stopMainQueue(); });
    });
    runMainQueue();
    producer.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(wasCurrent);
    EXPECT_FALSE(main->isCurrent());

    // A stop that arrives before the drain starts still ends it.
    stopMainQueue();
    runMainQueue();
}

TEST(DispatchMainQueueTest, ExecutorReceivesBlocksInOrder) {
    std::mutex mutex;
    std::vector<Block> handed;
    setMainQueueExecutor([&](Block block) {
        std::lock_guard<std::mutex> lock(mutex);
        handed.push_back(std::move(block));
    });
    std::vector<int> order;
    DispatchQueue::main()->async([&] { order.push_back(1); });
    DispatchQueue::main()->async([&] { order.push_back(2); });
    setMainQueueExecutor(nullptr);
    ASSERT_EQ(handed.size(), 2u);
    for (auto& block : handed) block();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(DispatchGroupTest, WaitTimesOutUntilEveryEnterIsLeft) {
    auto group = DispatchGroup::create();
    EXPECT_EQ(group->wait(DISPATCH_TIME_NOW), 0);
    group->enter();
    group->enter();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(group->wait(in(30ms)), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    group->leave();
    EXPECT_NE(group->wait(DISPATCH_TIME_NOW), 0);
    std::thread late([&] {
        std::this_thread::sleep_for(20ms);
        group->leave();
    });
    EXPECT_EQ(group->wait(DISPATCH_TIME_FOREVER), 0);
    late.join();
}

TEST(DispatchGroupTest, NotifyRunsOnceAfterTrackedWorkAndAtOnceWhenEmpty) {
    auto group = DispatchGroup::create();
    auto queue = DispatchQueue::createConcurrent("com.nerova.test.group");
    std::atomic<int> done{0};
    Events events;
    for (int i = 0; i < 10; ++i) {
        group->async(queue, [&] {
            std::this_thread::sleep_for(2ms);
            ++done;
        });
    }
    group->notify(queue, [&] { events.add(done.load()); });
    ASSERT_TRUE(events.waitFor(1));
    EXPECT_EQ(events.values().front(), 10);
    EXPECT_EQ(group->wait(DISPATCH_TIME_NOW), 0);
    group->notify(queue, [&] { events.add(-1); });
    ASSERT_TRUE(events.waitFor(2));
    EXPECT_FALSE(events.waitFor(3, 30ms));
}

TEST(DispatchSourceTimerTest, OneShotFiresOnceAndOnlyAfterResume) {
    auto queue = DispatchQueue::createSerial("com.nerova.test.timer");
    auto timer = DispatchSourceTimer::create(queue);
    ASSERT_TRUE(timer);
    Events events;
    timer->setEventHandler([&] { events.add(); });
    timer->setTimer(in(10ms), DISPATCH_TIME_FOREVER, 0);
    EXPECT_FALSE(events.waitFor(1, 60ms));  // created suspended
    timer->resume();
    EXPECT_TRUE(events.waitFor(1));
    EXPECT_FALSE(events.waitFor(2, 60ms));
    EXPECT_FALSE(timer->isCancelled());
}

TEST(DispatchSourceTimerTest, RepeatingTimerStopsOnCancelAndCancelHandlerRunsOnceLast) {
    auto queue = DispatchQueue::createConcurrent("com.nerova.test.timer.repeat");
    auto timer = DispatchSourceTimer::create(queue);
    Events events;
    std::atomic<int> inHandler{0};
    std::atomic<bool> overlapped{false};
    timer->setEventHandler([&] {
        if (++inHandler > 1) overlapped = true;
        std::this_thread::sleep_for(3ms);  // longer than the interval
        events.add(1);
        --inHandler;
    });
    timer->setCancelHandler([&] { events.add(inHandler.load() == 0 ? 2 : -2); });
    timer->setTimer(DISPATCH_TIME_NOW, NSEC_PER_MSEC, 0);
    timer->resume();
    ASSERT_TRUE(events.waitFor(3));
    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
    timer->cancel();
    ASSERT_TRUE(events.waitFor([](const std::vector<int>& v) { return std::count(v.begin(), v.end(), 2) > 0; }));
    // A fire or a second cancel handler after it must not come: a short bound.
    std::this_thread::sleep_for(50ms);
    auto values = events.values();
    ASSERT_GE(values.size(), 4u);
    EXPECT_EQ(values.back(), 2);
    EXPECT_EQ(std::count(values.begin(), values.end(), 2), 1);
    EXPECT_FALSE(overlapped.load());
}

TEST(DispatchSourceTimerTest, SuspendedTimerDeliversAMergedFireOnResume) {
    auto queue = DispatchQueue::createSerial("com.nerova.test.timer.suspend");
    auto timer = DispatchSourceTimer::create(queue);
    Events events;
    timer->setEventHandler([&] { events.add(); });
    timer->setTimer(in(100ms), DISPATCH_TIME_FOREVER, 0);
    timer->resume();
    timer->suspend();
    EXPECT_FALSE(events.waitFor(1, 150ms));
    timer->resume();
    EXPECT_TRUE(events.waitFor(1));
    EXPECT_FALSE(events.waitFor(2, 30ms));
}

// A requested interruption ends the group waits of the threads in its scope,
// those already waiting (also without a deadline) and those that begin
// later, as on a timeout; waits outside the scope, before it or in a scope
// of another interruption are left alone.
TEST(WaitInterruptionTest, EndsTheWaitsInItsScopeOnly) {
    auto interruption = WaitInterruption::create();
    auto group = DispatchGroup::create();
    group->enter();

    std::atomic<long> forever{-1}, bounded{-1};
    std::thread waiter([&] {
        WaitInterruption::Scope scope(interruption);
        forever = group->wait(DISPATCH_TIME_FOREVER);
        bounded = group->wait(in(60000ms));
    });
    // Whether the waiter has begun its wait or not, the request must end it.
    std::this_thread::sleep_for(20ms);
    const auto requested = std::chrono::steady_clock::now();
    interruption->request();
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - requested, 10s);
    EXPECT_NE(forever.load(), 0);
    EXPECT_NE(bounded.load(), 0);
    EXPECT_TRUE(interruption->isRequested());

    // Outside any scope, and in the scope of another interruption, the group
    // is still waited for; a short bound shows the wait was not ended early.
    EXPECT_FALSE(WaitInterruption::requestedOnCurrentThread());
    EXPECT_NE(group->wait(in(50ms)), 0);
    {
        WaitInterruption::Scope outer(interruption);
        EXPECT_TRUE(WaitInterruption::requestedOnCurrentThread());
        WaitInterruption::Scope inner(WaitInterruption::create());
        EXPECT_FALSE(WaitInterruption::requestedOnCurrentThread());
        const auto started = std::chrono::steady_clock::now();
        EXPECT_NE(group->wait(in(50ms)), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - started, 50ms);
    }
    EXPECT_EQ(WaitInterruption::current(), nullptr);
    group->leave();
    WaitInterruption::Scope scope(interruption);
    // An emptied group answers 0 even when interrupted.
    EXPECT_EQ(group->wait(DISPATCH_TIME_FOREVER), 0);
}
