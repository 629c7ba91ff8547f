#include "collector/NRVRootPrivilegeServiceCall.h"

#include "collector/NRVRootPrivilegeServiceProtocol.h"
#include "foundation/NRVDispatchExtensions.h"
#include "foundation/NRVReplyCell.h"
#include "foundation/NerovaLogger.h"
#include "ipc/xpc/NRVNerovaXPCBroker.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/xpc/XPCPeer.h"

using platform::dispatch::DispatchGroup;

NRVRootPrivilegeServiceCall::NRVRootPrivilegeServiceCall(std::shared_ptr<NRVXPCClientHelper> injectedClientHelper)
    : client_(injectedClientHelper ? injectedClientHelper : std::make_shared<NRVXPCClientHelper>()),
      ownsClient_(!injectedClientHelper) {}

NRVRootPrivilegeServiceCall::~NRVRootPrivilegeServiceCall() {
    // An injected helper belongs to whoever injected it, connection and all.
    if (ownsClient_) client_->disconnectService(NRVRootPrivilegeService::kServiceName);
}

bool NRVRootPrivilegeServiceCall::connect() {
    // The service is reached through the broker: without its socket nothing
    // can answer within the limit, and a run would wait it out at every step
    // that uses the service, on a machine without the product.
    if (!platform::xpc::serviceSocketExists(NRVNerovaXPCBroker::kBrokerServiceName)) {
        NerovaLogger::zep().error("The broker's socket does not exist: no connection to the service '" +
                                  std::string(NRVRootPrivilegeService::kServiceName) + "'.");
        return false;
    }
    return client_->connectAndWaitForFirstConnectionForService(NRVRootPrivilegeService::kServiceName,
                                                               NRVRootPrivilegeService::NRVRootPrivilegeServiceProtocol(),
                                                               NRVRootPrivilegeService::kConnectTimeoutSeconds) == 0;
}

NRVRootPrivilegeServiceCall::Answer NRVRootPrivilegeServiceCall::call(const std::string& selector,
                                                                      const std::string& folder,
                                                                      const std::string& proxyFailurePrefix) {
    auto answer = std::make_shared<NRVReplyCell<bool>>();
    auto group = DispatchGroup::create();
    dispatch_group_safe_enter(group);
    NRVXPCProxy proxy = client_->remoteObjectProxyForService(
        NRVRootPrivilegeService::kServiceName, [answer, group, proxyFailurePrefix](const std::string& message) {
            NerovaLogger::zep().error(proxyFailurePrefix + message);
            answer->set(false);
            dispatch_group_safe_leave(group);
        });
    if (proxy) {
        proxy->call(selector, {platform::xpc::Value(folder)}, [answer, group](const platform::xpc::Values& reply) {
            const bool* yes = reply.empty() ? nullptr : reply[0].asBool();
            answer->set(yes && *yes);
            dispatch_group_safe_leave(group);
        });
    } else {
        // No proxy and so no call: nothing will ever answer.
        dispatch_group_safe_leave(group);
    }

    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(NRVRootPrivilegeService::replyTimeout());
    Answer result;
    result.timedOut = dispatch_group_safe_wait(group, platform::dispatch::dispatchTime(
                                                          platform::dispatch::DISPATCH_TIME_NOW, wait.count())) != 0;
    result.value = answer->close();
    return result;
}
