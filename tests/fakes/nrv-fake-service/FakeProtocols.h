// The protocols of the product services the fakes stand in for, as interface
// tables. Folder URLs travel as path strings.
#pragma once

#include <string>
#include <unistd.h>

#include "ipc/xpc/NRVXPCServiceHelper.h"
#include "ipc/xpc/NRVXPCTypes.h"

namespace fake {

constexpr const char* kAgentServicePrefix = "com.nerova.remote.zep.";
constexpr const char* kRootServiceName = "com.nerova.xpc.name.rootPrivilegeService";

inline NRVXPCProtocol NRVRemoteZEPProtocol() {
    using platform::xpc::Kind;
    static const NRVXPCProtocol& p = *new NRVXPCProtocol([] {
        auto i = std::make_shared<platform::xpc::Interface>("NRVRemoteZEPProtocol");
        i->method("requestArchiveName:", {}, std::vector<Kind>{Kind::String})
            .method("requestArchiveUpload:at:", {Kind::String, Kind::String});
        return i;
    }());
    return p;
}

inline NRVXPCProtocol NRVRootPrivilegeServiceProtocol() {
    using platform::xpc::Kind;
    static const NRVXPCProtocol& p = *new NRVXPCProtocol([] {
        auto i = std::make_shared<platform::xpc::Interface>("NRVRootPrivilegeServiceProtocol");
        i->method("runZEPLogExtraction:withReply:", {Kind::String}, std::vector<Kind>{Kind::Bool})
            .method("runWQRSummarization:withReply:", {Kind::String}, std::vector<Kind>{Kind::Bool});
        return i;
    }());
    return p;
}

// Waits (at most 3 s) until the broker accepted the service's endpoints, so
// that READY means "reachable by name" whenever a broker runs.
inline void waitUntilRegistered(const std::string& service) {
    for (int i = 0; i < 300; ++i) {
        auto table = NRVXPCServiceHelper::sharedHelper()->listenerTableForUnitTest();
        auto it = table.find(service);
        if (it != table.end() && it->second) return;
        usleep(10000);
    }
}

}  // namespace fake
