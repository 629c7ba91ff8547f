#include "foundation/NRVQueueMonitor.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "foundation/NerovaLogger.h"
#include "platform/thread/Mutex.h"
#include "platform/memory/NoDestructor.h"

namespace dispatch = platform::dispatch;

namespace {

const NRVLogHandle& log() { return NerovaLogger::queue(); }

std::atomic<std::uint32_t> gMessageCounter{0};

const std::shared_ptr<dispatch::DispatchQueue>& monitorQueue() {
    static const platform::NoDestructor<std::shared_ptr<dispatch::DispatchQueue>> queue(
        dispatch::DispatchQueue::createSerial("com.nerova.eventmonitor.queuemonitor.monitorqueue"));
    return *queue;
}

std::string seconds(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%f", value);
    return buf;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

dispatch::DispatchTime after(double secondsFromNow) {
    return dispatch::dispatchTime(dispatch::DISPATCH_TIME_NOW,
                                  static_cast<std::int64_t>(secondsFromNow * static_cast<double>(dispatch::NSEC_PER_SEC)));
}

// The set as the platform describes one: "{(a, b)}".
std::string describe(const std::set<std::string>& names) {
    std::string out = "{(";
    bool first = true;
    for (const auto& n : names) {
        if (!first) out += ", ";
        out += n;
        first = false;
    }
    return out + ")}";
}

}  // namespace

void NRVWeakQueueTable::add(const std::shared_ptr<dispatch::DispatchQueue>& queue) {
    platform::MutexLock lock(mutex_);
    for (const auto& q : queues_) {
        if (q.lock() == queue) return;
    }
    queues_.push_back(queue);
}

std::vector<std::shared_ptr<dispatch::DispatchQueue>> NRVWeakQueueTable::allObjects() {
    platform::MutexLock lock(mutex_);
    std::vector<std::shared_ptr<dispatch::DispatchQueue>> live;
    std::vector<std::weak_ptr<dispatch::DispatchQueue>> kept;
    for (const auto& q : queues_) {
        if (auto strong = q.lock()) {
            live.push_back(strong);
            kept.push_back(q);
        }
    }
    queues_ = std::move(kept);
    return live;
}

std::size_t NRVWeakQueueTable::count() { return allObjects().size(); }

std::shared_ptr<NRVWeakQueueTable> NRVQueueMonitor::monitoredQueues() {
    static const platform::NoDestructor<std::shared_ptr<NRVWeakQueueTable>> table(
        std::make_shared<NRVWeakQueueTable>());
    return *table;
}

void NRVQueueMonitor::monitorDispatchQueue(const std::shared_ptr<dispatch::DispatchQueue>& queue) {
    if (!queue) return;
    std::weak_ptr<dispatch::DispatchQueue> weak = queue;
    monitorQueue()->async([weak] {
        auto strong = weak.lock();
        if (!strong) return;
        monitoredQueues()->add(strong);
        log().log("Start to monitor queue '" + strong->label() + "'");
        static std::once_flag armed;
        std::call_once(armed, [] {
            monitorQueue()->after(after(kCheckIntervalSeconds),
                                  [] { verifyQueues(monitoredQueues(), kCheckIntervalSeconds); });
        });
    });
}

std::uint32_t NRVQueueMonitor::nextMessageID() {
    std::uint32_t current = gMessageCounter.load();
    std::uint32_t next;
    do {
        next = current == UINT32_MAX ? 1 : current + 1;
    } while (!gMessageCounter.compare_exchange_weak(current, next));
    return next;
}

void NRVQueueMonitor::setMessageIDCounterForUnitTest(std::uint32_t value) { gMessageCounter = value; }

namespace {
// Milliseconds; negative: kAnswerTimeoutSeconds.
std::atomic<long long> gAnswerTimeoutMsForUnitTest{-1};
}  // namespace

void NRVQueueMonitor::setAnswerTimeoutForUnitTest(std::optional<double> seconds) {
    gAnswerTimeoutMsForUnitTest = seconds ? static_cast<long long>(*seconds * 1000) : -1;
}

void NRVQueueMonitor::verifyQueues(const std::shared_ptr<NRVWeakQueueTable>& queues, double intervalSeconds) {
    if (!queues) return;
    auto live = queues->allObjects();
    const std::uint32_t jobID = nextMessageID();
    log().log("Start to verify monitored queues (" + std::to_string(live.size()) + " queue(s)). JobID=" +
              std::to_string(jobID));
    const auto start = std::chrono::steady_clock::now();
    const long long testTimeoutMs = gAnswerTimeoutMsForUnitTest;
    const double timeout = testTimeoutMs >= 0 ? static_cast<double>(testTimeoutMs) / 1000 : kAnswerTimeoutSeconds;
    waitResponseFromAllQueues(live, timeout, jobID,
                              [queues, intervalSeconds, jobID, start](const std::set<std::string>& notResponding) {
                                  if (!notResponding.empty()) {
                                      log().error("WARNING! Following queue(s) are not responding. Queue(s): " +
                                                  describe(notResponding));
                                  } else {
                                      log().log("All queue(s) are running. (" + seconds(secondsSince(start)) +
                                                " s). JobID=" + std::to_string(jobID));
                                  }
                                  monitorQueue()->after(after(intervalSeconds), [queues, intervalSeconds] {
                                      verifyQueues(queues, intervalSeconds);
                                  });
                              });
}

void NRVQueueMonitor::waitResponseFromAllQueues(const std::vector<std::shared_ptr<dispatch::DispatchQueue>>& queues,
                                                double timeoutSeconds, std::uint32_t jobID, Completion completion) {
    // Touched only on the waiting queue.
    struct Check {
        std::set<std::string> pending;
        bool timedOut = false;
    };
    auto check = std::make_shared<Check>();
    auto waiting = dispatch::DispatchQueue::createSerial("com.nerova.eventmonitor.queuemonitor.waitingqueue");
    auto group = dispatch::DispatchGroup::create();
    const auto start = std::chrono::steady_clock::now();

    for (std::size_t i = 0; i < queues.size(); ++i) {
        const auto& queue = queues[i];
        if (!queue) continue;
        std::string name = queue->label() + "_" + std::to_string(i);
        waiting->async([check, name] { check->pending.insert(name); });
        std::weak_ptr<dispatch::DispatchQueue> weakQueue = queue;
        group->async(queue, [check, waiting, name, weakQueue, start, jobID] {
            std::string qos = "QOS_CLASS_UNSPECIFIED";
            if (auto q = weakQueue.lock()) qos = qosNameFromCurrentQueue(*q);
            waiting->async([check, waiting, name, qos, start, jobID] {
                dispatch::dispatchAssertQueue(*waiting);
                if (check->timedOut) {
                    log().error("Target queue '" + name + "' responded after timeout. QOS: " + qos + " (" +
                                seconds(secondsSince(start)) + " s). JobID=" + std::to_string(jobID));
                } else {
                    check->pending.erase(name);
                }
            });
        });
    }

    dispatch::DispatchQueue::global(dispatch::QualityOfService::Background)
        ->async([group, waiting, check, timeoutSeconds, completion = std::move(completion)] {
            if (group->wait(after(timeoutSeconds)) == 0) {
                completion({});
                return;
            }
            std::set<std::string> copy;
            waiting->sync([&] {
                check->timedOut = true;
                copy = check->pending;
            });
            completion(copy);
        });
}

std::string NRVQueueMonitor::qosNameForClass(unsigned qosClass) {
    switch (qosClass) {
        case 0x00: return "QOS_CLASS_UNSPECIFIED";
        case 0x09: return "QOS_CLASS_BACKGROUND";
        case 0x11: return "QOS_CLASS_UTILITY";
        case 0x15: return "QOS_CLASS_DEFAULT";
        case 0x19: return "QOS_CLASS_USER_INITIATED";
        case 0x21: return "QOS_CLASS_USER_INTERACTIVE";
        default: return "";
    }
}

std::string NRVQueueMonitor::qosNameFromCurrentQueue(const dispatch::DispatchQueue& current) {
    switch (current.qualityOfService()) {
        case dispatch::QualityOfService::Background: return qosNameForClass(0x09);
        case dispatch::QualityOfService::Utility: return qosNameForClass(0x11);
        case dispatch::QualityOfService::Default: return qosNameForClass(0x15);
        case dispatch::QualityOfService::UserInitiated: return qosNameForClass(0x19);
        case dispatch::QualityOfService::UserInteractive: return qosNameForClass(0x21);
    }
    return qosNameForClass(0);
}
