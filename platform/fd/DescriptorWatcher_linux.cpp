#include "platform/fd/DescriptorWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/fd/ScopedFD.h"
#include "platform/thread/ConditionVariable.h"
#include "platform/thread/Mutex.h"

namespace platform {

struct DescriptorWatcher::State {
    struct Entry {
        Id id;
        int fd;
        std::shared_ptr<Callback> callback;
    };

    explicit State(ScopedFD wakeFD) : wake(std::move(wakeFD)) {}

    // The thread rebuilds its set of descriptors after every wake-up.
    void wakeUp() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake.get(), &one, sizeof one);
    }

    bool onThread() const { return std::this_thread::get_id() == threadId; }

    void run();
    // With the mutex held: waits until no callback of `id` (0: any) runs.
    void waitForCallback(MutexLock& lock, Id id) REQUIRES(mutex);

    const ScopedFD wake;
    std::thread::id threadId;  // set before the thread runs, never changed after

    Mutex mutex;
    ConditionVariable callbackEnded;
    std::vector<Entry> entries GUARDED_BY(mutex);
    Id nextId GUARDED_BY(mutex) = 1;
    Id running GUARDED_BY(mutex) = 0;
    bool stopped GUARDED_BY(mutex) = false;
};

void DescriptorWatcher::State::waitForCallback(MutexLock& lock, Id id) {
    if (onThread()) return;
    callbackEnded.wait(lock, [&]() REQUIRES(mutex) { return id == 0 ? running == 0 : running != id; });
}

void DescriptorWatcher::State::run() {
    std::vector<Entry> watched;
    std::vector<pollfd> fds;
    for (;;) {
        {
            MutexLock lock(mutex);
            if (stopped) return;
            watched = entries;
        }
        fds.assign(1, pollfd{wake.get(), POLLIN, 0});
        for (const Entry& entry : watched) fds.push_back(pollfd{entry.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            MutexLock lock(mutex);
            stopped = true;
            entries.clear();
            return;
        }
        if (fds[0].revents) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(wake.get(), &count, sizeof count);
        }
        for (std::size_t i = 0; i < watched.size(); ++i) {
            const short events = fds[i + 1].revents;
            if (!events) continue;
            const Entry& entry = watched[i];
            {
                MutexLock lock(mutex);
                if (stopped) return;
                auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.id == entry.id; });
                if (it == entries.end()) continue;  // removed since the set was built
                if (events & POLLNVAL) {
                    entries.erase(it);  // closed while watched: waking for it would never end
                    continue;
                }
                running = entry.id;
            }
            const bool keep = (*entry.callback)();
            {
                MutexLock lock(mutex);
                running = 0;
                if (!keep) std::erase_if(entries, [&](const Entry& e) { return e.id == entry.id; });
            }
            callbackEnded.notify_all();
        }
    }
}

std::unique_ptr<DescriptorWatcher> DescriptorWatcher::create(platform::Error* error) {
    ScopedFD wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) {
        const int code = errno;
        if (error) *error = platform::Error{"eventfd", code, std::strerror(code)};
        return nullptr;
    }
    auto state = std::make_shared<State>(std::move(wake));
    // The thread waits for its id to be recorded before it looks at it.
    MutexLock lock(state->mutex);
    std::thread thread([state] {
        { MutexLock started(state->mutex); }
        state->run();
    });
    state->threadId = thread.get_id();
    return std::unique_ptr<DescriptorWatcher>(new DescriptorWatcher(std::move(state), std::move(thread)));
}

DescriptorWatcher::DescriptorWatcher(std::shared_ptr<State> state, std::thread thread)
    : state_(std::move(state)), thread_(std::move(thread)) {}

DescriptorWatcher::~DescriptorWatcher() { stop(); }

DescriptorWatcher::Id DescriptorWatcher::add(int fd, Callback callback) {
    if (fd < 0 || !callback) return 0;
    Id id = 0;
    {
        MutexLock lock(state_->mutex);
        if (state_->stopped) return 0;
        id = state_->nextId++;
        state_->entries.push_back({id, fd, std::make_shared<Callback>(std::move(callback))});
    }
    state_->wakeUp();
    return id;
}

void DescriptorWatcher::remove(Id id) {
    if (id == 0) return;
    {
        MutexLock lock(state_->mutex);
        std::erase_if(state_->entries, [&](const State::Entry& e) { return e.id == id; });
        state_->waitForCallback(lock, id);
    }
    state_->wakeUp();
}

void DescriptorWatcher::stop() {
    {
        MutexLock lock(state_->mutex);
        state_->stopped = true;
        state_->entries.clear();
        state_->waitForCallback(lock, 0);
    }
    state_->wakeUp();
    std::call_once(joined_, [this] {
        // From a callback the thread cannot wait for itself; it ends once
        // the callback returns, holding the state until then.
        if (state_->onThread()) thread_.detach();
        else thread_.join();
    });
}

}  // namespace platform
