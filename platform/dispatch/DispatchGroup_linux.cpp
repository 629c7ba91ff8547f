#include "platform/dispatch/Dispatch.h"

#include <chrono>
#include <deque>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/CurrentQueueScope_linux.h"
#include "platform/dispatch/DispatchClock_linux.h"
#include "platform/dispatch/DispatchScheduler_linux.h"
#include "platform/thread/ConditionVariable.h"

namespace platform::dispatch {

using namespace detail;

namespace {

class GroupImpl final : public DispatchGroup, public std::enable_shared_from_this<GroupImpl> {
public:
    void enter() override {
        platform::MutexLock lock(mutex_);
        ++count_;
    }

    void leave() override {
        std::vector<std::pair<std::shared_ptr<DispatchQueue>, Block>> notifications;
        {
            platform::MutexLock lock(mutex_);
            // An unbalanced leave crashes on the platform; here it is ignored so
            // the group cannot go below empty.
            if (count_ == 0) {
                return;
            }
            if (--count_ > 0) {
                return;
            }
            notifications.swap(notifications_);
            emptied_.notify_all();
        }
        for (auto& [queue, block] : notifications) {
            queue->async(std::move(block));
        }
    }

    long wait(DispatchTime deadline) override {
        const std::shared_ptr<WaitInterruption> interruption = WaitInterruption::current();
        if (!interruption) {
            platform::MutexLock lock(mutex_);
            auto isEmpty = [this]() REQUIRES(mutex_) { return count_ == 0; };
            if (isNever(deadline)) {
                emptied_.wait(lock, isEmpty);
                return 0;
            }
            return emptied_.wait_until(lock, toTimePoint(deadline), isEmpty) ? 0 : 1;
        }
        // The waker may outlive this wait by moments (a request that copied
        // it just before its removal): it holds the group weakly.
        const std::uint64_t waker = interruption->addWaker([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                platform::MutexLock lock(self->mutex_);
                self->emptied_.notify_all();
            }
        });
        long result = 0;
        {
            platform::MutexLock lock(mutex_);
            auto done = [&]() REQUIRES(mutex_) { return count_ == 0 || interruption->isRequested(); };
            if (isNever(deadline)) emptied_.wait(lock, done);
            else emptied_.wait_until(lock, toTimePoint(deadline), done);
            result = count_ == 0 ? 0 : 1;
        }
        interruption->removeWaker(waker);
        return result;
    }

    void notify(const std::shared_ptr<DispatchQueue>& queue, Block block) override {
        if (!queue) {
            return;
        }
        {
            platform::MutexLock lock(mutex_);
            if (count_ > 0) {
                notifications_.emplace_back(queue, std::move(block));
                return;
            }
        }
        queue->async(std::move(block));
    }

    void async(const std::shared_ptr<DispatchQueue>& queue, Block block) override {
        if (!queue) {
            return;
        }
        enter();
        queue->async([self = shared_from_this(), block = std::move(block)] {
            block();
            self->leave();
        });
    }

private:
    platform::Mutex mutex_;
    platform::ConditionVariable emptied_;
    long count_ GUARDED_BY(mutex_) = 0;
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, Block>> notifications_ GUARDED_BY(mutex_);
};

}  // namespace

std::shared_ptr<DispatchGroup> DispatchGroup::create() { return std::make_shared<GroupImpl>(); }

}  // namespace platform::dispatch
