#include "foundation/NRVQueueMonitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

#include "platform/log/LogStore.h"
#include "support/Events.h"

namespace dispatch = platform::dispatch;
namespace plog = platform::log;

namespace {

class QueueMonitorTest : public ::testing::Test {
protected:
    void SetUp() override { plog::setSink(capture_); }
    void TearDown() override { plog::setSink(nullptr); }

    // Waits up to 5 s for a "queue" record that starts with `prefix`.
    std::optional<plog::Record> waitForRecord(const std::string& prefix) {
        std::optional<plog::Record> found;
        testsupport::waitUntil(
            [&] {
                for (const auto& r : capture_->records()) {
                    if (r.category == "queue" && r.message.rfind(prefix, 0) == 0) {
                        found = r;
                        return true;
                    }
                }
                return false;
            },
            std::chrono::seconds(5));
        return found;
    }

    bool hasRecord(const std::string& prefix) {
        for (const auto& r : capture_->records())
            if (r.category == "queue" && r.message.rfind(prefix, 0) == 0) return true;
        return false;
    }

    std::shared_ptr<plog::CaptureSink> capture_ = std::make_shared<plog::CaptureSink>();
};

TEST_F(QueueMonitorTest, BlockedQueueIsNamedAndReportedAgainWhenItRunsLate) {
    auto healthy = dispatch::DispatchQueue::createSerial("test.healthy");
    auto blocked = dispatch::DispatchQueue::createSerial("test.blocked", dispatch::QualityOfService::Utility);
    std::promise<void> release;
    auto released = release.get_future().share();
    blocked->async([released] { released.wait(); });

    std::promise<std::set<std::string>> result;
    const auto start = std::chrono::steady_clock::now();
    NRVQueueMonitor::waitResponseFromAllQueues({healthy, blocked}, 0.3, 77,
                                               [&](const std::set<std::string>& names) { result.set_value(names); });
    auto names = result.get_future().get();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_EQ(names, std::set<std::string>{"test.blocked_1"});

    release.set_value();
    auto late = waitForRecord("Target queue 'test.blocked_1' responded after timeout. QOS: QOS_CLASS_UTILITY (");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->level, plog::Level::Error);
    EXPECT_NE(late->message.find(" s). JobID=77"), std::string::npos) << late->message;
}

TEST_F(QueueMonitorTest, HealthyQueuesAnswerAtOnce) {
    auto a = dispatch::DispatchQueue::createSerial("test.a");
    auto b = dispatch::DispatchQueue::createConcurrent("test.b");
    std::promise<std::set<std::string>> result;
    const auto start = std::chrono::steady_clock::now();
    NRVQueueMonitor::waitResponseFromAllQueues({a, b}, 10, 1,
                                               [&](const std::set<std::string>& names) { result.set_value(names); });
    EXPECT_TRUE(result.get_future().get().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(QueueMonitorTest, PeriodicCheckCoversOnlyLiveQueues) {
    auto table = std::make_shared<NRVWeakQueueTable>();
    auto kept = dispatch::DispatchQueue::createSerial("test.kept");
    auto freed = dispatch::DispatchQueue::createSerial("test.freed");
    table->add(kept);
    table->add(freed);
    table->add(kept);
    freed.reset();
    NRVQueueMonitor::setMessageIDCounterForUnitTest(41);
    NRVQueueMonitor::verifyQueues(table, 3600);
    auto begun = waitForRecord("Start to verify monitored queues");
    ASSERT_TRUE(begun);
    EXPECT_EQ(begun->message, "Start to verify monitored queues (1 queue(s)). JobID=42");
    auto done = waitForRecord("All queue(s) are running. (");
    ASSERT_TRUE(done);
    EXPECT_NE(done->message.find(" s). JobID=42"), std::string::npos) << done->message;

    capture_->clear();
    NRVQueueMonitor::verifyQueues(std::make_shared<NRVWeakQueueTable>(), 3600);
    EXPECT_TRUE(waitForRecord("Start to verify monitored queues (0 queue(s)). JobID=43"));
    EXPECT_TRUE(waitForRecord("All queue(s) are running."));
}

TEST_F(QueueMonitorTest, PeriodicCheckWarnsOfQueuesThatDoNotAnswer) {
    NRVQueueMonitor::setAnswerTimeoutForUnitTest(0.3);
    struct Restore {
        ~Restore() { NRVQueueMonitor::setAnswerTimeoutForUnitTest(std::nullopt); }
    } restore;
    auto table = std::make_shared<NRVWeakQueueTable>();
    auto healthy = dispatch::DispatchQueue::createSerial("test.fine");
    auto stuck = dispatch::DispatchQueue::createSerial("test.stuck");
    auto alsoStuck = dispatch::DispatchQueue::createSerial("test.stuck.too");
    std::promise<void> release;
    auto released = release.get_future().share();
    stuck->async([released] { released.wait(); });
    alsoStuck->async([released] { released.wait(); });
    table->add(healthy);
    table->add(stuck);
    table->add(alsoStuck);

    NRVQueueMonitor::verifyQueues(table, 3600);
    auto warning = waitForRecord("WARNING! ");
    release.set_value();
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->level, plog::Level::Error);
    EXPECT_EQ(warning->message,
              "WARNING! Following queue(s) are not responding. Queue(s): {(test.stuck.too_2, test.stuck_1)}");
    EXPECT_FALSE(hasRecord("All queue(s) are running."));
}

TEST_F(QueueMonitorTest, RegistrationIsWeakAndLogged) {
    auto queue = dispatch::DispatchQueue::createSerial("test.registered");
    const std::size_t before = NRVQueueMonitor::monitoredQueues()->count();
    NRVQueueMonitor::monitorDispatchQueue(queue);
    EXPECT_TRUE(waitForRecord("Start to monitor queue 'test.registered'"));
    EXPECT_EQ(NRVQueueMonitor::monitoredQueues()->count(), before + 1);
    queue.reset();
    // The queue's own worker may still hold it for a moment after its last
    // block; the table must let it go once nothing else does.
    testsupport::waitUntil([&] { return NRVQueueMonitor::monitoredQueues()->count() == before; });
    EXPECT_EQ(NRVQueueMonitor::monitoredQueues()->count(), before);
}

TEST(QueueMonitor, MessageIDsWrapPastZero) {
    NRVQueueMonitor::setMessageIDCounterForUnitTest(4294967294u);
    EXPECT_EQ(NRVQueueMonitor::nextMessageID(), 4294967295u);
    EXPECT_EQ(NRVQueueMonitor::nextMessageID(), 1u);
    EXPECT_EQ(NRVQueueMonitor::nextMessageID(), 2u);
}

TEST(QueueMonitor, QualityOfServiceNames) {
    struct Case {
        unsigned value;
        const char* name;
    } cases[] = {{0, "QOS_CLASS_UNSPECIFIED"}, {9, "QOS_CLASS_BACKGROUND"},        {17, "QOS_CLASS_UTILITY"},
                 {21, "QOS_CLASS_DEFAULT"},    {25, "QOS_CLASS_USER_INITIATED"}, {33, "QOS_CLASS_USER_INTERACTIVE"},
                 {5, ""}};
    for (const auto& c : cases) EXPECT_EQ(NRVQueueMonitor::qosNameForClass(c.value), c.name) << c.value;
}

}  // namespace
