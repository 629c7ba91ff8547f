#include "ipc/notify/NRVDistributedNotificationProtocols.h"
#include "platform/memory/NoDestructor.h"

using platform::xpc::Interface;
using platform::xpc::Kind;

NRVXPCProtocol NRVDistributedNotificationXPCProtocol() {
    static const platform::NoDestructor<NRVXPCProtocol> protocol([] {
        auto i = std::make_shared<Interface>("NRVDistributedNotificationXPCProtocol");
        i->method("notifyName:rawPayload:withReply:", {Kind::String, Kind::Data}, std::vector<Kind>{});
        return i;
    }());
    return *protocol;
}

NRVXPCProtocol NRVDistributedNotificationMapUpdateXPCProtocol() {
    static const platform::NoDestructor<NRVXPCProtocol> protocol([] {
        auto i = std::make_shared<Interface>("NRVDistributedNotificationMapUpdateXPCProtocol");
        i->method("updateNotificationMap:withReply:", {Kind::Dictionary}, std::vector<Kind>{});
        return i;
    }());
    return *protocol;
}

NRVXPCProtocol NRVDistributedNotificationMapUpdaterXPCProtocol() {
    static const platform::NoDestructor<NRVXPCProtocol> protocol([] {
        auto i = std::make_shared<Interface>("NRVDistributedNotificationMapUpdaterXPCProtocol");
        i->method("registerXPCNameForReceivingMapUpdate:withReply:", {Kind::String}, std::vector<Kind>{})
            .method("registerNotificationNames:callbackXPCName:withReply:", {Kind::Array, Kind::String},
                    std::vector<Kind>{});
        return i;
    }());
    return *protocol;
}
