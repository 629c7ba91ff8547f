#include "foundation/NRVDispatchExtensions.h"

#include <gtest/gtest.h>

#include "support/Events.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using namespace platform::dispatch;
using namespace std::chrono_literals;

namespace {

DispatchTime in(std::chrono::milliseconds delay) {
    return dispatchTime(DISPATCH_TIME_NOW, std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count());
}

bool isEmpty(const std::shared_ptr<DispatchGroup>& group) { return group->wait(DISPATCH_TIME_NOW) == 0; }

using Calls = testsupport::Events<std::uint64_t>;

}  // namespace

TEST(NRVDispatchExtensionsTest, LeaveWithoutOwnEnterLeavesTheGroupAlone) {
    auto group = DispatchGroup::create();
    auto other = DispatchGroup::create();
    dispatch_group_safe_enter(other);  // another group's count must not be borrowed
    group->enter();                    // someone else's plain enter
    dispatch_group_safe_leave(group);
    EXPECT_FALSE(isEmpty(group));
    group->leave();
    EXPECT_TRUE(isEmpty(group));
    dispatch_group_safe_leave(other);
    EXPECT_TRUE(isEmpty(other));
}

TEST(NRVDispatchExtensionsTest, TimedOutWaitDrainsTheGroupAndLateLeavesAreIgnored) {
    auto group = DispatchGroup::create();
    dispatch_group_safe_enter(group);
    dispatch_group_safe_enter(group);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(dispatch_group_safe_wait(group, in(20ms)), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    EXPECT_TRUE(isEmpty(group));

    group->enter();  // a new, unrelated wait on the same group
    dispatch_group_safe_leave(group);
    dispatch_group_safe_leave(group);
    EXPECT_FALSE(isEmpty(group));
    group->leave();

    // The group is usable again afterwards.
    dispatch_group_safe_enter(group);
    dispatch_group_safe_leave(group);
    EXPECT_EQ(dispatch_group_safe_wait(group, DISPATCH_TIME_NOW), 0);
}

TEST(NRVDispatchExtensionsTest, BalancedEnterAndLeaveWaitReturnsZeroAtOnce) {
    auto group = DispatchGroup::create();
    dispatch_group_safe_enter(group);
    std::thread reply([&] {
        std::this_thread::sleep_for(10ms);
        dispatch_group_safe_leave(group);
        dispatch_group_safe_leave(group);  // a duplicate reply
    });
    EXPECT_EQ(dispatch_group_safe_wait(group, DISPATCH_TIME_FOREVER), 0);
    reply.join();
    dispatch_group_safe_enter(group);
    dispatch_group_safe_leave(group);
    EXPECT_EQ(dispatch_group_safe_wait(group, DISPATCH_TIME_NOW), 0);
}

TEST(NRVDispatchExtensionsTest, NullGroupWaitAnswersZeroAndLeaveDoesNothing) {
    dispatch_group_safe_leave(nullptr);
    EXPECT_EQ(dispatch_group_safe_wait(nullptr, DISPATCH_TIME_FOREVER), 0);
}

TEST(NRVDispatchExtensionsTest, CountOfAFreedGroupIsNotInheritedByANewOne) {
    // Freed groups' memory is likely reused by the next one of the same size.
    for (int i = 0; i < 20; ++i) {
        dispatch_group_safe_enter(DispatchGroup::create());
        auto group = DispatchGroup::create();
        group->enter();
        dispatch_group_safe_leave(group);
        EXPECT_FALSE(isEmpty(group)) << "round " << i;
        group->leave();
    }
}

TEST(NRVDispatchExtensionsTest, ConcurrentEntersAndLeavesStayBalanced) {
    auto group = DispatchGroup::create();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i) {
                dispatch_group_safe_enter(group);
                dispatch_group_safe_leave(group);
                dispatch_group_safe_leave(group);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(isEmpty(group));
    group->enter();
    dispatch_group_safe_leave(group);
    EXPECT_FALSE(isEmpty(group));
    group->leave();
}

TEST(NRVDispatchExtensionsTest, ResumeOnlyUndoesOwnSuspensions) {
    auto queue = DispatchQueue::createSerial("com.nerova.test.saferesume");
    std::atomic<bool> ran{false};
    queue->suspend();  // someone else's plain suspension
    queue->async([&] { ran = true; });
    dispatch_safe_resume(queue);  // without a safe suspend: nothing
    dispatch_safe_suspend(queue);
    dispatch_safe_resume(queue);
    dispatch_safe_resume(queue);  // one too many: nothing
    // The block must not run: a short bound for something that must not happen.
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(ran.load());
    queue->resume();
    queue->sync([] {});
    EXPECT_TRUE(ran.load());
}

TEST(NRVDispatchExtensionsTest, SafeSuspendAndResumeDriveATimerSource) {
    auto queue = DispatchQueue::createSerial("com.nerova.test.safetimer");
    auto timer = DispatchSourceTimer::create(queue);
    std::atomic<int> fired{0};
    timer->setEventHandler([&] { ++fired; });
    timer->setTimer(DISPATCH_TIME_NOW, DISPATCH_TIME_FOREVER, 0);
    dispatch_safe_resume(timer);  // no safe suspend yet: the timer stays suspended
    // It must not fire: a short bound for something that must not happen.
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fired.load(), 0);
    timer->resume();
    testsupport::waitUntil([&] { return fired.load() != 0; });
    EXPECT_EQ(fired.load(), 1);
    timer->cancel();
}

TEST(NRVDispatchExtensionsTest, NotifyTimeoutCallsZeroOnceWhenTheGroupEmptiesInTime) {
    auto queue = DispatchQueue::createSerial("com.nerova.test.notify");
    Calls calls;
    dispatch_group_notify_timeout(DispatchGroup::create(), queue, in(500ms), calls.block());
    ASSERT_TRUE(calls.waitFor(1));

    auto group = DispatchGroup::create();
    dispatch_group_safe_enter(group);
    dispatch_group_notify_timeout(group, queue, in(200ms), calls.block());
    std::this_thread::sleep_for(10ms);
    dispatch_group_safe_leave(group);
    ASSERT_TRUE(calls.waitFor(2));
    EXPECT_FALSE(calls.waitFor(3, 300ms));  // the deadline passes without a second call
    EXPECT_EQ(calls.values(), (std::vector<std::uint64_t>{0, 0}));
}

TEST(NRVDispatchExtensionsTest, NotifyTimeoutCallsOverrunOnceAtTheDeadline) {
    auto queue = DispatchQueue::createSerial("com.nerova.test.notify.timeout");
    Calls calls;
    auto group = DispatchGroup::create();
    dispatch_group_safe_enter(group);
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> onQueue{false};
    dispatch_group_notify_timeout(group, queue, in(40ms), [&, block = calls.block()](std::uint64_t value) {
        onQueue = queue->isCurrent();
        block(value);
    });
    ASSERT_TRUE(calls.waitFor(1));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 39ms);
    EXPECT_LT(elapsed, 1000ms);
    EXPECT_TRUE(onQueue.load());
    dispatch_group_safe_leave(group);  // emptying afterwards must not call again
    EXPECT_FALSE(calls.waitFor(2, 50ms));
    ASSERT_EQ(calls.values().size(), 1u);
    EXPECT_GE(calls.values()[0], 1u);
}

TEST(NRVDispatchExtensionsTest, NotifyTimeoutRacingOnAConcurrentQueueCallsExactlyOnce) {
    auto queue = DispatchQueue::createConcurrent("com.nerova.test.notify.race");
    Calls calls;
    constexpr int kRounds = 200;
    std::vector<std::shared_ptr<DispatchGroup>> groups;
    for (int i = 0; i < kRounds; ++i) {
        auto group = DispatchGroup::create();
        dispatch_group_safe_enter(group);
        dispatch_group_notify_timeout(group, queue, in(2ms), calls.block());
        groups.push_back(group);
    }
    // Leave around the deadlines so that both handlers often come due together.
    std::this_thread::sleep_for(1ms);
    for (auto& group : groups) dispatch_group_safe_leave(group);
    ASSERT_TRUE(calls.waitFor(kRounds));
    EXPECT_FALSE(calls.waitFor(kRounds + 1, 50ms));
}
