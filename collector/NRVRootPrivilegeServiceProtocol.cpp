#include "collector/NRVRootPrivilegeServiceProtocol.h"

#include <atomic>

namespace NRVRootPrivilegeService {

NRVXPCProtocol NRVRootPrivilegeServiceProtocol() {
    using platform::xpc::Kind;
    static const NRVXPCProtocol protocol = [] {
        auto table = std::make_shared<platform::xpc::Interface>("NRVRootPrivilegeServiceProtocol");
        table->method("runZEPLogExtraction:withReply:", {Kind::String}, std::vector<Kind>{Kind::Bool})
            .method("runWQRSummarization:withReply:", {Kind::String}, std::vector<Kind>{Kind::Bool});
        return table;
    }();
    return protocol;
}

}  // namespace NRVRootPrivilegeService

namespace NRVRootPrivilegeService {

namespace {
std::atomic<long long> testReplyTimeoutMs{-1};
}

std::chrono::milliseconds replyTimeout() {
    const long long overridden = testReplyTimeoutMs.load();
    if (overridden >= 0) return std::chrono::milliseconds(overridden);
    return kReplyTimeout;
}

void setReplyTimeoutForUnitTest(std::optional<std::chrono::milliseconds> timeout) {
    testReplyTimeoutMs.store(timeout ? timeout->count() : -1);
}

}  // namespace NRVRootPrivilegeService
