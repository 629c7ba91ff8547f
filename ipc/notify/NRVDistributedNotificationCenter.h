// Payload-free broadcast notifications across the maker's processes: the
// service "registered" and "registration" announcements and the broker's
// start announcement. Notifications that carry payload objects go through
// NRVDistributedNotification instead.
//
// Threading: every method may be called from any thread. Selectors run on
// the process center's serial delivery queue, never on the main thread and
// never on the poster's stack; every observer hears a notification as soon
// as it arrives, whatever its program is doing, and a post reaches the
// observers of every user on the machine.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "foundation/NRVError.h"
#include "platform/notify/NotificationCenter.h"

using NRVNotification = platform::notify::Notification;
// What an observer has called for each notification it observes.
using NRVNotificationSelector = std::function<void(const NRVNotification&)>;

class NRVDistributedNotificationCenter {
public:
    NRVDistributedNotificationCenter() = delete;

    // A nil name observes every name; a nil object any object. false (and
    // the error) when the process cannot start observing.
    static bool addObserver(const void* observer, NRVNotificationSelector selector,
                            const std::optional<std::string>& name, NRVError* error = nullptr);
    static bool addObserver(const void* observer, NRVNotificationSelector selector,
                            const std::optional<std::string>& name, const std::optional<std::string>& object,
                            NRVError* error = nullptr);

    // false (and the error) when the notification could not be encoded or
    // some observing process could not take it; the failure is logged too.
    static bool postNotificationName(const std::string& name, NRVError* error = nullptr);
    static bool postNotificationName(const std::string& name, const std::optional<std::string>& object,
                                     NRVError* error = nullptr);
    static bool postNotificationName(const std::string& name, const NRVDictionary& userInfo,
                                     NRVError* error = nullptr);
    static bool postNotificationName(const std::string& name, const std::optional<std::string>& object,
                                     const std::optional<NRVDictionary>& userInfo, NRVError* error = nullptr);

    // A nil name or object removes the observer's registrations for every
    // name or object.
    static void removeObserver(const void* observer);
    static void removeObserver(const void* observer, const std::optional<std::string>& name);
    static void removeObserver(const void* observer, const std::optional<std::string>& name,
                               const std::optional<std::string>& object);

    static constexpr const char* kErrorDomain = "NRVDistributedNotificationCenterErrorDomain";
};
