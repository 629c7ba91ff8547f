#include "platform/dispatch/OperationQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::OperationQueue;

namespace {

// Records the order in which blocks ran, with how many ran at once at most.
struct Recorder {
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> active{0};
    std::atomic<int> maxActive{0};

    std::function<void()> block(int id, std::chrono::milliseconds work = 0ms) {
        return [this, id, work] {
            int now = ++active;
            int seen = maxActive.load();
            while (now > seen && !maxActive.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(work);
            {
                std::lock_guard<std::mutex> lock(mutex);
                order.push_back(id);
            }
            --active;
        };
    }
};

}  // namespace

TEST(OperationQueueTest, MaxOneRunsOneAtATimeInOrderAddedOffTheCallersThread) {
    Recorder recorder;
    std::vector<std::thread::id> threads(20);
    const auto caller = std::this_thread::get_id();
    OperationQueue queue("test.serial");
    queue.setMaxConcurrentOperationCount(1);
    for (int i = 0; i < 20; ++i) {
        auto step = recorder.block(i, i % 3 == 0 ? 2ms : 0ms);
        queue.addOperationWithBlock([&threads, i, step] {
            threads[i] = std::this_thread::get_id();
            step();
        });
    }
    queue.waitUntilAllOperationsAreFinished();
    std::vector<int> expected(20);
    for (int i = 0; i < 20; ++i) expected[i] = i;
    EXPECT_EQ(recorder.order, expected);
    EXPECT_EQ(recorder.maxActive.load(), 1);
    for (auto id : threads) EXPECT_NE(id, caller);
    EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueueTest, UnlimitedQueueRunsConcurrentlyAndBarrierRunsAlone) {
    Recorder recorder;
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(4);
    // Four blocks that only finish once all four have started prove concurrency.
    std::atomic<int> started{0};
    std::promise<void> allStarted;
    auto allStartedFuture = allStarted.get_future().share();
    for (int i = 0; i < 4; ++i) {
        queue.addOperationWithBlock([&, i] {
            if (++started == 4) allStarted.set_value();
            ASSERT_EQ(allStartedFuture.wait_for(30s), std::future_status::ready);
            recorder.block(i, 5ms)();
        });
    }
    int activeInBarrier = -1;
    std::size_t doneBeforeBarrier = 0;
    queue.addBarrierBlock([&] {
        activeInBarrier = recorder.active.load();
        std::lock_guard<std::mutex> lock(recorder.mutex);
        doneBeforeBarrier = recorder.order.size();
        recorder.order.push_back(100);
    });
    for (int i = 4; i < 8; ++i) queue.addOperationWithBlock(recorder.block(i));
    queue.waitUntilAllOperationsAreFinished();

    EXPECT_EQ(activeInBarrier, 0);
    EXPECT_EQ(doneBeforeBarrier, 4u);
    ASSERT_EQ(recorder.order.size(), 9u);
    EXPECT_EQ(recorder.order[4], 100);
}

TEST(OperationQueueTest, SuspendedQueueHoldsOperationsUntilResumed) {
    std::atomic<int> ran{0};
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    queue.setSuspended(true);
    EXPECT_TRUE(queue.isSuspended());
    for (int i = 0; i < 3; ++i) queue.addOperationWithBlock([&] { ++ran; });
    // None may start: a short bound for something that must not happen.
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(queue.operationCount(), 3u);
    queue.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran.load(), 3);
}

TEST(OperationQueueTest, CancelAllSkipsPendingWorkButOperationsStillFinish) {
    std::atomic<int> ran{0};
    std::promise<void> release;
    auto released = release.get_future().share();
    std::promise<void> begun;
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    auto first = std::make_shared<platform::BlockOperation>([&] {
        begun.set_value();
        released.wait();
        ++ran;
    });
    queue.addOperation(first);
    std::vector<std::shared_ptr<platform::BlockOperation>> later;
    for (int i = 0; i < 3; ++i) {
        later.push_back(std::make_shared<platform::BlockOperation>([&] { ++ran; }));
        queue.addOperation(later.back());
    }
    begun.get_future().wait();
    queue.cancelAllOperations();
    release.set_value();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran.load(), 1);  // the running one had already begun its work
    EXPECT_TRUE(first->isCancelled());
    for (auto& operation : later) {
        EXPECT_TRUE(operation->isCancelled());
        EXPECT_TRUE(operation->isFinished());
    }
}

TEST(OperationQueueTest, DestructorWaitsForAddedOperations) {
    std::atomic<int> ran{0};
    {
        OperationQueue queue;
        queue.setMaxConcurrentOperationCount(1);
        for (int i = 0; i < 5; ++i) {
            queue.addOperationWithBlock([&] {
                std::this_thread::sleep_for(2ms);
                ++ran;
            });
        }
    }
    EXPECT_EQ(ran.load(), 5);
}

TEST(OperationQueueTest, DestroyingASuspendedQueueCancelsWhatNeverStarted) {
    auto operation = std::make_shared<platform::BlockOperation>([] {});
    {
        OperationQueue queue;
        queue.setSuspended(true);
        queue.addOperation(operation);
    }
    EXPECT_TRUE(operation->isCancelled());
    EXPECT_TRUE(operation->isFinished());
}
