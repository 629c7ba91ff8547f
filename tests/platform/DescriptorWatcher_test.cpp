#include "platform/fd/DescriptorWatcher.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/fd/ScopedFD.h"
#include "support/Events.h"

using platform::DescriptorWatcher;
using namespace std::chrono_literals;

namespace {

// A descriptor that is readable while its count is not zero.
struct Signal {
    platform::ScopedFD fd{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    void raise() const {
        const std::uint64_t one = 1;
        ASSERT_EQ(::write(fd.get(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
    }
    void clear() const {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(fd.get(), &count, sizeof count);
    }
};

// A short bound for proving that something does not happen.
constexpr auto kQuiet = 200ms;

}  // namespace

// Each ready descriptor reaches its own callback; answering false ends the
// watch of that descriptor only, and a removed descriptor is never reported
// again even while it stays readable.
TEST(DescriptorWatcher, CallsTheCallbackOfEachReadyDescriptorUntilRemoved) {
    auto watcher = DescriptorWatcher::create();
    ASSERT_TRUE(watcher);
    Signal a, b, c;
    std::atomic<int> calledA{0}, calledB{0}, calledC{0};
    watcher->add(a.fd.get(), [&] {
        a.clear();
        ++calledA;
        return true;
    });
    watcher->add(b.fd.get(), [&] {
        b.clear();
        ++calledB;
        return false;  // once only
    });
    const auto idC = watcher->add(c.fd.get(), [&] {
        c.clear();
        ++calledC;
        return true;
    });
    a.raise();
    b.raise();
    c.raise();
    EXPECT_TRUE(testsupport::waitUntil([&] { return calledA == 1 && calledB == 1 && calledC == 1; }));
    watcher->remove(idC);
    b.raise();
    c.raise();
    a.raise();
    EXPECT_TRUE(testsupport::waitUntil([&] { return calledA == 2; }));
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(calledB, 1);
    EXPECT_EQ(calledC, 1);
    watcher->stop();
    EXPECT_EQ(watcher->add(a.fd.get(), [] { return true; }), 0u) << "a stopped watcher takes nothing";
    EXPECT_EQ(watcher->add(-1, [] { return true; }), 0u);
}

// remove() and stop() from another thread wait for a callback that is
// running; from inside a callback they return at once, and the watcher may
// even be destroyed there. A callback may add a descriptor.
TEST(DescriptorWatcher, RemoveAndStopWhileACallbackRuns) {
    struct Case {
        const char* name;
        bool stop;  // stop() instead of remove()
    } cases[] = {{"remove", false}, {"stop", true}};
    for (const Case& c : cases) {
        auto watcher = DescriptorWatcher::create();
        ASSERT_TRUE(watcher) << c.name;
        Signal signal;
        std::promise<void> entered, release;
        auto released = release.get_future().share();
        std::atomic<int> calls{0};
        std::atomic<bool> returned{false};
        const auto id = watcher->add(signal.fd.get(), [&, released] {
            signal.clear();
            if (++calls == 1) {
                entered.set_value();
                released.wait();
            }
            returned = true;
            return true;
        });
        signal.raise();
        entered.get_future().wait();
        auto removing = std::async(std::launch::async, [&] { c.stop ? watcher->stop() : watcher->remove(id); });
        EXPECT_EQ(removing.wait_for(kQuiet), std::future_status::timeout) << c.name << ": did not wait";
        release.set_value();
        removing.get();
        EXPECT_TRUE(returned) << c.name << ": returned before the callback did";
        signal.raise();
        std::this_thread::sleep_for(kQuiet);
        EXPECT_EQ(calls, 1) << c.name << ": called after it was taken away";
    }

    // From inside: add a second descriptor, then remove the first and
    // destroy the watcher from the second's callback.
    auto watcher = DescriptorWatcher::create();
    ASSERT_TRUE(watcher);
    Signal first, second;
    testsupport::Events<int> events;
    DescriptorWatcher::Id firstId = 0;
    firstId = watcher->add(first.fd.get(), [&] {
        first.clear();
        watcher->add(second.fd.get(), [&] {
            second.clear();
            watcher->remove(firstId);  // returns at once: it is this thread's
            watcher.reset();           // the thread ends once this returns
            events.add(2);
            return true;
        });
        events.add(1);
        second.raise();
        return true;
    });
    first.raise();
    ASSERT_TRUE(events.waitFor(2));
    EXPECT_EQ(events.values(), (std::vector<int>{1, 2}));
}
