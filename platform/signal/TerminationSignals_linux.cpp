#include "platform/signal/TerminationSignals.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <variant>

#include "platform/fs/FileManager.h"
#include "platform/thread/Mutex.h"
#include "platform/memory/NoDestructor.h"

namespace platform::signal {

namespace {

struct Registry {
    platform::Mutex mutex;
    std::uint64_t next GUARDED_BY(mutex) = 1;
    // Ordered by registration: groups are ended before anything is removed.
    std::map<std::uint64_t, std::variant<std::string, int>> items GUARDED_BY(mutex);
};

Registry& registry() {
    static platform::NoDestructor<Registry> r;  // never destroyed: the watcher may run during exit
    return *r;
}

// Taken before the registry's lock by both a child's start and the cleanup.
platform::Mutex& childStartMutex() {
    static platform::NoDestructor<platform::Mutex> m;  // never destroyed: the watcher may run during exit
    return *m;
}

std::uint64_t add(std::variant<std::string, int> item) {
    Registry& r = registry();
    platform::MutexLock lock(r.mutex);
    const std::uint64_t token = r.next++;
    r.items.emplace(token, std::move(item));
    return token;
}

bool groupIsGone(int group) { return ::kill(-group, 0) != 0 && errno == ESRCH; }

[[noreturn]] void cleanUpAndExit(int signalNumber) {
    // A child being started is registered first; none starts after this.
    childStartMutex().lock();
    Registry& r = registry();
    // Held to the end: nothing registers or forgets while the process goes.
    r.mutex.lock();
    for (const auto& [token, item] : r.items)
        if (const int* group = std::get_if<int>(&item)) ::kill(-*group, SIGKILL);
    // A killed archiver must not write into a folder after it was removed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (const auto& [token, item] : r.items) {
        const int* group = std::get_if<int>(&item);
        while (group && !groupIsGone(*group) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const auto& [token, item] : r.items)
        if (const std::string* path = std::get_if<std::string>(&item)) {
            if (fs::itemExists(*path)) fs::removeItem(*path);
        }
    ::_exit(128 + signalNumber);
}

sigset_t terminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void installTerminationHandling() {
    static std::once_flag once;
    std::call_once(once, [] {
        ::signal(SIGPIPE, SIG_IGN);
        sigset_t set = terminationSet();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::thread([set] {
            for (;;) {
                int signalNumber = 0;
                if (sigwait(&set, &signalNumber) == 0) cleanUpAndExit(signalNumber);
            }
        }).detach();
    });
}

std::uint64_t removeOnTermination(const std::string& path) { return add(path); }

std::uint64_t endProcessGroupOnTermination(int processGroup) { return add(processGroup); }

ChildStartScope::ChildStartScope() { childStartMutex().lock(); }

ChildStartScope::~ChildStartScope() { childStartMutex().unlock(); }

void forget(std::uint64_t token) {
    Registry& r = registry();
    platform::MutexLock lock(r.mutex);
    r.items.erase(token);
}

}  // namespace platform::signal
