#include "ipc/notify/NRVDistributedNotificationCenter.h"

#include "foundation/NerovaLogger.h"

namespace {

platform::notify::NotificationCenter& center() {
    static platform::notify::NotificationCenter& shared = platform::notify::NotificationCenter::defaultCenter();
    return shared;
}

}  // namespace

bool NRVDistributedNotificationCenter::addObserver(const void* observer, NRVNotificationSelector selector,
                                                   const std::optional<std::string>& name, NRVError* error) {
    return addObserver(observer, std::move(selector), name, std::nullopt, error);
}

bool NRVDistributedNotificationCenter::addObserver(const void* observer, NRVNotificationSelector selector,
                                                   const std::optional<std::string>& name,
                                                   const std::optional<std::string>& object, NRVError* error) {
    platform::Error reason;
    if (center().addObserver(observer, name, object, std::move(selector), &reason)) return true;
    NerovaLogger::notification().error("Failed to observe distributed notification '" + name.value_or("(any)") +
                                       "'. Error: " + reason.description);
    NRVSetError(error, NRVError(kErrorDomain, 1, reason.description));
    return false;
}

bool NRVDistributedNotificationCenter::postNotificationName(const std::string& name, NRVError* error) {
    return postNotificationName(name, std::nullopt, std::nullopt, error);
}

bool NRVDistributedNotificationCenter::postNotificationName(const std::string& name,
                                                            const std::optional<std::string>& object,
                                                            NRVError* error) {
    return postNotificationName(name, object, std::nullopt, error);
}

bool NRVDistributedNotificationCenter::postNotificationName(const std::string& name, const NRVDictionary& userInfo,
                                                            NRVError* error) {
    return postNotificationName(name, std::nullopt, userInfo, error);
}

bool NRVDistributedNotificationCenter::postNotificationName(const std::string& name,
                                                            const std::optional<std::string>& object,
                                                            const std::optional<NRVDictionary>& userInfo,
                                                            NRVError* error) {
    platform::Error reason;
    if (center().post({name, object, userInfo}, &reason)) return true;
    NerovaLogger::notification().error("Failed to post distributed notification '" + name + "'. Error: " +
                                       reason.description);
    NRVSetError(error, NRVError(kErrorDomain, 2, reason.description));
    return false;
}

void NRVDistributedNotificationCenter::removeObserver(const void* observer) {
    removeObserver(observer, std::nullopt, std::nullopt);
}

void NRVDistributedNotificationCenter::removeObserver(const void* observer, const std::optional<std::string>& name) {
    removeObserver(observer, name, std::nullopt);
}

void NRVDistributedNotificationCenter::removeObserver(const void* observer, const std::optional<std::string>& name,
                                                      const std::optional<std::string>& object) {
    center().removeObserver(observer, name, object);
}
