#include "ipc/xpc/NRVNerovaXPCInterfaceProtocol.h"
#include "platform/memory/NoDestructor.h"

using platform::xpc::Interface;
using platform::xpc::Kind;

NRVXPCProtocol NRVNerovaXPCInterfaceProtocol() {
    static const platform::NoDestructor<NRVXPCProtocol> protocol([] {
        auto i = std::make_shared<Interface>("NRVNerovaXPCInterfaceProtocol");
        i->method("statusWithReply:", {}, std::vector<Kind>{Kind::String})
            .method("registerXPCListenerEndpoint:controlListenerEndpoint:forService:withReply:",
                    {Kind::Endpoint, Kind::Endpoint, Kind::String}, std::vector<Kind>{Kind::String})
            .method("xpcListenerEndpointForService:withReply:", {Kind::String},
                    std::vector<Kind>{Kind::Endpoint, Kind::Endpoint, Kind::String});
        return i;
    }());
    return *protocol;
}

NRVXPCProtocol NRVServiceStatusProtocol() {
    static const platform::NoDestructor<NRVXPCProtocol> protocol([] {
        auto i = std::make_shared<Interface>("NRVServiceStatusProtocol");
        i->method("statusWithReply:", {}, std::vector<Kind>{Kind::String});
        return i;
    }());
    return *protocol;
}
