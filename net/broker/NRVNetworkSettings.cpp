#include "net/broker/NRVNetworkSettings.h"

#include <mutex>
#include <vector>

#include "foundation/NRVQueueMonitor.h"
#include "foundation/NerovaLogger.h"
#include "platform/memory/NoDestructor.h"

namespace {

struct SharedState {
    std::shared_ptr<platform::dispatch::DispatchQueue> queue =
        platform::dispatch::DispatchQueue::createSerial("com.nerova.networksettings.sharedTaskQueue");
    std::vector<NRVNetworkSettings::NotificationBlock> proxyChangeNotificationBlocks;  // on `queue` only
    std::mutex watcherMutex;
    std::unique_ptr<platform::proxy::SettingsWatcher> watcher;
};

void startWatch(SharedState& state) {
    platform::Error error;
    auto watcher = platform::proxy::SettingsWatcher::create(proxySettingsDidChange, &error);
    if (!watcher) NerovaLogger::proxy().error("Could not watch the proxy settings: " + error.description);
    std::unique_ptr<platform::proxy::SettingsWatcher> old;
    {
        std::lock_guard<std::mutex> lock(state.watcherMutex);
        old = std::move(state.watcher);
        state.watcher = std::move(watcher);
    }
    // `old` goes here, outside the lock and never on the watch's own thread.
}

SharedState& shared() {
    // Lives as long as the process: watch threads may call in at exit.
    static platform::NoDestructor<SharedState> state;
    static const bool watching = [] {
        NRVQueueMonitor::monitorDispatchQueue(state->queue);
        startWatch(*state);
        return true;
    }();
    (void)watching;
    return *state;
}

}  // namespace

void NRVNetworkSettings::monitorProxyChangeWithNotificationBlock(NotificationBlock block) {
    if (!block) return;
    SharedState& state = shared();
    state.queue->async([&state, block = std::move(block)]() mutable {
        state.proxyChangeNotificationBlocks.push_back(std::move(block));
    });
}

void NRVNetworkSettings::watchProxySettingChange() { startWatch(shared()); }

void NRVNetworkSettings::reportProxyChange() {
    SharedState& state = shared();
    state.queue->async([&state] {
        if (state.proxyChangeNotificationBlocks.empty()) return;
        NerovaLogger::proxy().debug("Proxy setting change detected. Report to " +
                                    std::to_string(state.proxyChangeNotificationBlocks.size()) + " watcher(s).");
        for (const auto& block : state.proxyChangeNotificationBlocks) block();
    });
}

platform::proxy::Settings NRVNetworkSettings::currentProxySettings() { return platform::proxy::currentSettings(); }

std::shared_ptr<platform::dispatch::DispatchQueue> NRVNetworkSettings::sharedTaskQueue() { return shared().queue; }

void proxySettingsDidChange() { NRVNetworkSettings::reportProxyChange(); }
