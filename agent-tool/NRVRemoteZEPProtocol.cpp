#include "agent-tool/NRVRemoteZEPProtocol.h"

#include <vector>

NRVXPCProtocol NRVRemoteZEPProtocol() {
    using platform::xpc::Kind;
    static const NRVXPCProtocol protocol = [] {
        auto interface = std::make_shared<platform::xpc::Interface>("NRVRemoteZEPProtocol");
        interface->method("requestArchiveName:", {}, std::vector<Kind>{Kind::String})
            .method("requestArchiveUpload:at:", {Kind::String, Kind::String});
        return interface;
    }();
    return protocol;
}
