// The protocols of the payload notification bus: each subscriber's receiving
// service, each process's map listener, and the outside map updater.
#pragma once

#include "ipc/xpc/NRVXPCTypes.h"

// notifyName:rawPayload:withReply: (name, keyed archive of the payload; reply without values)
NRVXPCProtocol NRVDistributedNotificationXPCProtocol();
// updateNotificationMap:withReply: (name -> array of receiving service names; reply without values)
NRVXPCProtocol NRVDistributedNotificationMapUpdateXPCProtocol();
// registerXPCNameForReceivingMapUpdate:withReply: (map listener name) and
// registerNotificationNames:callbackXPCName:withReply: (the receiving
// service's whole set of names, an empty array when it has none left)
NRVXPCProtocol NRVDistributedNotificationMapUpdaterXPCProtocol();

constexpr const char* kNRVDistributedNotificationMapUpdaterServiceName =
    "com.nerova.NRVDistributedNotificationMapUpdater";
