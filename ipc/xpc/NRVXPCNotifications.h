// The distributed notifications the interprocess classes post and observe
// ("registered", "registration", "serverdidstart"), in one place.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/value/NRVValue.h"

namespace NRVXPCNotifications {

constexpr const char* kRegistered = "com.nerova.xpc.notification.registered";
constexpr const char* kRegistration = "com.nerova.xpc.notification.registration";
constexpr const char* kServerDidStart = "com.nerova.xpc.broker.notification.serverdidstart";

using Observer = std::function<void(const NRVDictionary& userInfo)>;

// Across processes, through the distributed notification center. Observers
// run on its delivery queue, never on the poster's thread; a process hears
// its own posts too.
std::uint64_t addObserver(const std::string& name, Observer observer);
void removeObserver(std::uint64_t token);
void post(const std::string& name, const NRVDictionary& userInfo);

}  // namespace NRVXPCNotifications
