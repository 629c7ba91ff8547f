#include "ipc/NRVXPCNotifications.h"

#include <map>
#include <memory>
#include <mutex>

#include "ipc/NRVDistributedNotificationCenter.h"

namespace NRVXPCNotifications {

namespace {

// Each registration gets an address of its own to observe with.
struct Registry {
    std::mutex mutex;
    std::uint64_t next = 1;
    std::map<std::uint64_t, std::unique_ptr<char>> keys;
};

Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

}  // namespace

std::uint64_t addObserver(const std::string& name, Observer observer) {
    Registry& r = registry();
    const void* key;
    std::uint64_t token;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        token = r.next++;
        key = r.keys.emplace(token, std::make_unique<char>()).first->second.get();
    }
    NRVDistributedNotificationCenter::addObserver(
        key, [observer](const NRVNotification& n) { observer(n.userInfo.value_or(NRVDictionary())); }, name);
    return token;
}

void removeObserver(std::uint64_t token) {
    Registry& r = registry();
    std::unique_ptr<char> key;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.keys.find(token);
        if (it == r.keys.end()) return;
        key = std::move(it->second);
        r.keys.erase(it);
    }
    NRVDistributedNotificationCenter::removeObserver(key.get());
}

void post(const std::string& name, const NRVDictionary& userInfo) {
    if (userInfo.empty()) NRVDistributedNotificationCenter::postNotificationName(name);
    else NRVDistributedNotificationCenter::postNotificationName(name, userInfo);
}

}  // namespace NRVXPCNotifications
