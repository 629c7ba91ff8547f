#include "ipc/xpc/NRVXPCTicketDispenserProtocol.h"

using platform::xpc::Interface;
using platform::xpc::Kind;

NRVXPCProtocol NRVXPCTicketDispenserProtocol() {
    static const NRVXPCProtocol protocol = [] {
        auto i = std::make_shared<Interface>("NRVXPCTicketDispenserProtocol");
        i->method("eventsForTicket:withReply:", {Kind::String}, std::vector<Kind>{Kind::Any});
        return i;
    }();
    return protocol;
}
