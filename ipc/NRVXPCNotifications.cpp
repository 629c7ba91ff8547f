#include "ipc/NRVXPCNotifications.h"

#include <map>
#include <mutex>

#include "platform/dispatch/Dispatch.h"

namespace NRVXPCNotifications {

namespace {

struct Registry {
    std::mutex mutex;
    std::uint64_t next = 1;
    std::map<std::uint64_t, std::pair<std::string, Observer>> observers;
    std::shared_ptr<platform::dispatch::DispatchQueue> queue =
        platform::dispatch::DispatchQueue::createSerial("com.nerova.xpc.notifications.delivery");
};

Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

}  // namespace

std::uint64_t addObserver(const std::string& name, Observer observer) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::uint64_t token = r.next++;
    r.observers.emplace(token, std::make_pair(name, std::move(observer)));
    return token;
}

void removeObserver(std::uint64_t token) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.observers.erase(token);
}

// Delivered within this process only, until the cross-process center is in.
void post(const std::string& name, const NRVDictionary& userInfo) {
    Registry& r = registry();
    std::vector<Observer> targets;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        for (const auto& [token, entry] : r.observers)
            if (entry.first == name) targets.push_back(entry.second);
    }
    for (auto& t : targets) r.queue->async([t, userInfo] { t(userInfo); });
}

}  // namespace NRVXPCNotifications
