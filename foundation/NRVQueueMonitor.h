// A watchdog for the library's private queues. Classes register their queues
// once; every 600 s the monitor sends a tiny probe block to each registered
// queue and logs, by name, every queue that has not run its probe within
// 10 s (and again when a late probe finally runs). It only reports; it never
// tries to repair a queue.
//
// Threading: every function may be called from any thread. Registration and
// the periodic re-arm run on the monitor's own serial queue; the pending set
// of one check lives on that check's private waiting queue; the wait itself
// runs on a global background queue, never on a monitored queue. Queues are
// held weakly: registering does not keep a queue alive, and a freed queue
// drops out at the next check.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/thread/Mutex.h"

// A set of queues held weakly.
class NRVWeakQueueTable {
public:
    void add(const std::shared_ptr<platform::dispatch::DispatchQueue>& queue);
    // The live queues in registration order; freed ones are dropped.
    std::vector<std::shared_ptr<platform::dispatch::DispatchQueue>> allObjects();
    std::size_t count();

private:
    platform::Mutex mutex_;
    std::vector<std::weak_ptr<platform::dispatch::DispatchQueue>> queues_ GUARDED_BY(mutex_);
};

class NRVQueueMonitor {
public:
    NRVQueueMonitor() = delete;

    static constexpr double kCheckIntervalSeconds = 600;
    static constexpr double kAnswerTimeoutSeconds = 10;

    using Completion = std::function<void(const std::set<std::string>& notResponding)>;

    static void monitorDispatchQueue(const std::shared_ptr<platform::dispatch::DispatchQueue>& queue);
    // 1, 2, ... wrapping from 4294967295 back to 1; never 0.
    static std::uint32_t nextMessageID();
    // Checks the table's live queues now and re-arms itself `interval` later
    // over the same table.
    static void verifyQueues(const std::shared_ptr<NRVWeakQueueTable>& queues, double intervalSeconds);
    // Probes each queue (probe name: label, "_", index) and calls completion
    // once, on a background queue, with the names that did not answer in time.
    static void waitResponseFromAllQueues(const std::vector<std::shared_ptr<platform::dispatch::DispatchQueue>>& queues,
                                          double timeoutSeconds, std::uint32_t jobID, Completion completion);
    // The quality-of-service class of a queue as the platform names it.
    static std::string qosNameFromCurrentQueue(const platform::dispatch::DispatchQueue& current);
    static std::string qosNameForClass(unsigned qosClass);

    static std::shared_ptr<NRVWeakQueueTable> monitoredQueues();
    static void setMessageIDCounterForUnitTest(std::uint32_t value);
    // Tests only: the answer timeout of the periodic check (nullopt returns
    // to kAnswerTimeoutSeconds).
    static void setAnswerTimeoutForUnitTest(std::optional<double> seconds);
};
