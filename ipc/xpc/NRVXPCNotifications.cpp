#include "ipc/xpc/NRVXPCNotifications.h"

#include <atomic>

#include "ipc/notify/NRVDistributedNotificationCenter.h"

namespace NRVXPCNotifications {

namespace {

std::atomic<std::uint64_t> nextToken{1};

// The token itself identifies the observer to the center; it is never dereferenced.
const void* keyOf(std::uint64_t token) { return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(token)); }

}  // namespace

std::uint64_t addObserver(const std::string& name, Observer observer) {
    const std::uint64_t token = nextToken++;
    NRVDistributedNotificationCenter::addObserver(
        keyOf(token),
        [observer = std::move(observer)](const NRVNotification& n) { observer(n.userInfo.value_or(NRVDictionary{})); },
        name);
    return token;
}

void removeObserver(std::uint64_t token) { NRVDistributedNotificationCenter::removeObserver(keyOf(token)); }

void post(const std::string& name, const NRVDictionary& userInfo) {
    NRVDistributedNotificationCenter::postNotificationName(name, std::nullopt,
                                                           userInfo.empty() ? std::nullopt
                                                                            : std::optional<NRVDictionary>(userInfo));
}

}  // namespace NRVXPCNotifications
