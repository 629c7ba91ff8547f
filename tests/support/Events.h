// Records values that other threads report, and lets a test wait for a number
// of them instead of sleeping blindly.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace testsupport {

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
