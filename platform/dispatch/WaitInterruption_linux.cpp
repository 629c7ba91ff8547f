#include <map>
#include <utility>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/thread/Mutex.h"

namespace platform::dispatch {

namespace {

thread_local std::shared_ptr<WaitInterruption> tCurrent;

class InterruptionImpl final : public WaitInterruption {
public:
    void request() override {
        std::vector<Block> wakers;
        {
            platform::MutexLock lock(mutex_);
            if (requested_) return;
            requested_ = true;
            for (auto& [id, wake] : wakers_) wakers.push_back(wake);
        }
        // Outside the lock: a waker takes its group's lock, and a group that
        // waits holds that lock while it adds or removes its waker.
        for (const Block& wake : wakers) wake();
    }

    bool isRequested() const override {
        platform::MutexLock lock(mutex_);
        return requested_;
    }

    std::uint64_t addWaker(Block wake) override {
        {
            platform::MutexLock lock(mutex_);
            if (!requested_) {
                const std::uint64_t id = next_++;
                wakers_.emplace(id, std::move(wake));
                return id;
            }
        }
        wake();
        return 0;
    }

    void removeWaker(std::uint64_t waker) override {
        platform::MutexLock lock(mutex_);
        wakers_.erase(waker);
    }

private:
    mutable platform::Mutex mutex_;
    bool requested_ GUARDED_BY(mutex_) = false;
    std::uint64_t next_ GUARDED_BY(mutex_) = 1;
    std::map<std::uint64_t, Block> wakers_ GUARDED_BY(mutex_);
};

}  // namespace

std::shared_ptr<WaitInterruption> WaitInterruption::create() { return std::make_shared<InterruptionImpl>(); }

std::shared_ptr<WaitInterruption> WaitInterruption::current() { return tCurrent; }

bool WaitInterruption::requestedOnCurrentThread() { return tCurrent && tCurrent->isRequested(); }

WaitInterruption::Scope::Scope(std::shared_ptr<WaitInterruption> interruption) : previous_(std::move(tCurrent)) {
    tCurrent = std::move(interruption);
}

WaitInterruption::Scope::~Scope() { tCurrent = std::move(previous_); }

}  // namespace platform::dispatch
