#include "foundation/NRVDispatchExtensions.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <map>

using platform::dispatch::DISPATCH_TIME_FOREVER;
using platform::dispatch::DISPATCH_TIME_NOW;
using platform::dispatch::DispatchGroup;
using platform::dispatch::DispatchObject;
using platform::dispatch::DispatchQueue;
using platform::dispatch::DispatchSourceTimer;
using platform::dispatch::DispatchTime;

namespace {

// Counts keyed by the object's identity. A weak key keeps the object's control
// block, so a freed object's stale count can never be taken over by a new
// object that happens to get the same address.
using Counts = std::map<std::weak_ptr<void>, long, std::owner_less<std::weak_ptr<void>>>;

struct CountingState {
    std::shared_ptr<DispatchQueue> queue;
    Counts counts;  // touched only in blocks on `queue`
};

// Made once and never destroyed: helpers may still be called from other
// threads while the process exits.
CountingState& groupState() {
    static auto* state =
        new CountingState{DispatchQueue::createSerial("com.nerova.dispatchextension.group.taskqueue"), {}};
    return *state;
}

CountingState& dispatchState() {
    static auto* state =
        new CountingState{DispatchQueue::createSerial("com.nerova.dispatchextension.dispatch.taskqueue"), {}};
    return *state;
}

void increment(Counts& counts, const std::shared_ptr<void>& object) {
    auto found = counts.find(object);
    if (found != counts.end()) {
        ++found->second;
        return;
    }
    // Keys of objects freed while counted are dropped when a new key comes.
    std::erase_if(counts, [](const auto& entry) { return entry.first.expired(); });
    counts.emplace(object, 1);
}

// Takes up to `most` from the count; answers how much was taken.
long decrement(Counts& counts, const std::shared_ptr<void>& object, long most) {
    auto found = counts.find(object);
    if (found == counts.end() || found->second < 1) {
        return 0;
    }
    const long taken = std::min(found->second, most);
    found->second -= taken;
    if (found->second == 0) {
        counts.erase(found);
    }
    return taken;
}

constexpr long kAll = std::numeric_limits<long>::max();

}  // namespace

void NRVDispatchExtensions::dispatchGroupSafeEnter(const std::shared_ptr<DispatchGroup>& group) {
    if (!group) {
        return;
    }
    auto& state = groupState();
    state.queue->sync([&] {
        increment(state.counts, group);
        group->enter();
    });
}

void NRVDispatchExtensions::dispatchGroupSafeLeave(const std::shared_ptr<DispatchGroup>& group) {
    if (!group) {
        return;
    }
    auto& state = groupState();
    state.queue->sync([&] {
        if (decrement(state.counts, group, 1) == 1) {
            group->leave();
        }
    });
}

void NRVDispatchExtensions::dispatchGroupSafeLeaveAll(const std::shared_ptr<DispatchGroup>& group) {
    if (!group) {
        return;
    }
    auto& state = groupState();
    state.queue->sync([&] {
        for (long left = decrement(state.counts, group, kAll); left > 0; --left) {
            group->leave();
        }
    });
}

long NRVDispatchExtensions::dispatchGroupSafeWait(const std::shared_ptr<DispatchGroup>& group, DispatchTime timeout) {
    if (!group) {
        return 0;
    }
    // Waiting on the counting queue would stop every other group's enter and leave.
    const long result = group->wait(timeout);
    if (result != 0) {
        dispatchGroupSafeLeaveAll(group);
    }
    return result;
}

void NRVDispatchExtensions::dispatchSafeSuspend(const std::shared_ptr<DispatchObject>& object) {
    if (!object) {
        return;
    }
    auto& state = dispatchState();
    state.queue->sync([&] {
        increment(state.counts, object);
        object->suspend();
    });
}

void NRVDispatchExtensions::dispatchSafeResume(const std::shared_ptr<DispatchObject>& object) {
    if (!object) {
        return;
    }
    auto& state = dispatchState();
    state.queue->sync([&] {
        if (decrement(state.counts, object, 1) == 1) {
            object->resume();
        }
    });
}

void dispatch_group_safe_enter(const std::shared_ptr<DispatchGroup>& group) {
    NRVDispatchExtensions::dispatchGroupSafeEnter(group);
}

void dispatch_group_safe_leave(const std::shared_ptr<DispatchGroup>& group) {
    NRVDispatchExtensions::dispatchGroupSafeLeave(group);
}

long dispatch_group_safe_wait(const std::shared_ptr<DispatchGroup>& group, DispatchTime timeout) {
    return NRVDispatchExtensions::dispatchGroupSafeWait(group, timeout);
}

void dispatch_safe_suspend(const std::shared_ptr<DispatchObject>& object) {
    NRVDispatchExtensions::dispatchSafeSuspend(object);
}

void dispatch_safe_resume(const std::shared_ptr<DispatchObject>& object) {
    NRVDispatchExtensions::dispatchSafeResume(object);
}

void dispatch_group_notify_timeout(const std::shared_ptr<DispatchGroup>& group,
                                   const std::shared_ptr<DispatchQueue>& queue, DispatchTime deadline,
                                   std::function<void(std::uint64_t)> block) {
    if (!queue || !block) {
        return;
    }
    if (!group) {
        queue->async([block = std::move(block)] { block(0); });
        return;
    }
    auto timer = DispatchSourceTimer::create(queue);
    if (!timer) {
        return;
    }

    const DispatchTime soon = platform::dispatch::dispatchTime(DISPATCH_TIME_NOW, 100);
    const std::uint64_t slack = deadline > soon ? deadline - soon : 0;
    const std::uint64_t leeway = slack > 10000 ? 1000 : slack / 10;

    // Both handlers may run at once on a concurrent queue; whichever clears
    // `pending` first is the only one that calls the block.
    auto pending = std::make_shared<std::atomic<bool>>(true);
    auto shared = std::make_shared<std::function<void(std::uint64_t)>>(std::move(block));

    // The handler holds its own timer; cancelling releases the handler and so the cycle.
    timer->setEventHandler([timer, pending, shared, deadline] {
        const DispatchTime now = platform::dispatch::dispatchTime(DISPATCH_TIME_NOW, 0);
        if (pending->exchange(false)) {
            timer->cancel();
            (*shared)(now > deadline ? now - deadline : 1);
        }
    });
    timer->setTimer(deadline == DISPATCH_TIME_FOREVER ? DISPATCH_TIME_FOREVER : deadline - leeway,
                    DISPATCH_TIME_FOREVER, leeway);
    timer->resume();

    group->notify(queue, [timer, pending, shared] {
        if (pending->exchange(false)) {
            timer->cancel();
            (*shared)(0);
        }
    });
}
