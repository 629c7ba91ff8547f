// Waiting on the event itself instead of sleeping blindly: waitUntil polls a
// state no callback reports (a process ended, a file appeared, a count
// another object keeps); Events records values that other threads report
// and lets a test wait for a number of them.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

// Polls `predicate` until it holds or `deadline` passes; true when it held.
// The predicate is asked once more at the deadline, so a slow poll never
// turns a state reached in time into a failure.
inline bool waitUntil(const std::function<bool()>& predicate, std::chrono::steady_clock::time_point deadline) {
    auto pause = std::chrono::milliseconds(1);
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) return true;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    return predicate();
}

inline bool waitUntil(const std::function<bool()>& predicate,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return waitUntil(predicate, std::chrono::steady_clock::now() + limit);
}

template <class T>
class Events {
public:
    void add(T value = T{}) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.push_back(value);
        changed_.notify_all();
    }
    // A callback that records its argument.
    std::function<void(T)> block() {
        return [this](T value) { add(value); };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return values_.size() >= count; });
    }
    // Waits until `done` holds for the values so far.
    bool waitFor(const std::function<bool(const std::vector<T>&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return done(values_); });
    }
    std::vector<T> values() {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

}  // namespace testsupport
