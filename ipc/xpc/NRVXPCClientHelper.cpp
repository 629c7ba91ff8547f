#include "ipc/xpc/NRVXPCClientHelper.h"

#include <atomic>
#include <vector>

#include "foundation/NRVDispatchExtensions.h"
#include "foundation/NRVQueueMonitor.h"
#include "foundation/NerovaLogger.h"
#include "ipc/xpc/NRVUUID.h"
#include "platform/memory/NoDestructor.h"

using platform::dispatch::DispatchGroup;
using platform::dispatch::DispatchQueue;
using platform::dispatch::DISPATCH_TIME_FOREVER;
using platform::dispatch::DISPATCH_TIME_NOW;
using platform::dispatch::dispatchTime;
using platform::dispatch::NSEC_PER_SEC;

namespace {

const NRVLogHandle& xpcLog() { return NerovaLogger::xpc(); }

struct Shared {
    std::shared_ptr<DispatchQueue> sharedTaskQueue =
        DispatchQueue::createConcurrent("com.nerova.xpc.clienthelper.sharedTaskQueue");
    std::map<std::string, std::shared_ptr<NRVXPCClientConnection>> clientConnections;
};

Shared& shared() {
    // Never destroyed: helpers may still unregister while the process exits.
    static platform::NoDestructor<Shared> s;
    static const bool monitored = (NRVQueueMonitor::monitorDispatchQueue(s->sharedTaskQueue), true);
    (void)monitored;
    return *s;
}

}  // namespace

NRVXPCClientHelper::NRVXPCClientHelper() : uuid_(NRVUUIDString()) {}

NRVXPCClientHelper::~NRVXPCClientHelper() { unregisterUUIDFromAllClients(uuid_); }

void NRVXPCClientHelper::connectService(const std::string& serviceName, NRVXPCProtocol protocol,
                                        StatusHandler statusHandler) {
    connectService(serviceName, std::move(protocol), std::move(statusHandler), nullptr);
}

void NRVXPCClientHelper::connectService(const std::string& serviceName, NRVXPCProtocol protocol,
                                        StatusHandler statusHandler, RefusalHandler refusalHandler) {
    std::string uuid = uuid_;
    shared().sharedTaskQueue->asyncBarrier([serviceName, protocol, statusHandler, refusalHandler, uuid] {
        xpcLog().log("Connect to service '" + serviceName + "' with status handler");
        auto& table = shared().clientConnections;
        auto it = table.find(serviceName);
        if (it == table.end())
            it = table.emplace(serviceName, NRVXPCClientConnection::initWithServiceName(serviceName, protocol)).first;
        it->second->registerWithUUID(uuid, statusHandler, refusalHandler);
    });
}

void NRVXPCClientHelper::connectService(const std::string& serviceName, NRVXPCProtocol protocol) {
    xpcLog().log("Connect to service '" + serviceName + "' with empty status handler.");
    connectService(serviceName, std::move(protocol), [](NRVXPCProxy proxy) {
        xpcLog().log("Empty status handler received proxy object (" + NRVXPCDescribe(proxy) + ").");
    });
}

long NRVXPCClientHelper::connectAndWaitForFirstConnectionForService(const std::string& serviceName,
                                                                    NRVXPCProtocol protocol, double timeout) {
    xpcLog().log("Connect and wait for service '" + serviceName + "'.");
    std::shared_ptr<DispatchGroup> group = DispatchGroup::create();
    dispatch_group_safe_enter(group);
    // The first of a proxy and a refusal decides the wait; whatever comes
    // after it changes nothing.
    enum Outcome : int { Waiting, Connected, Refused };
    auto outcome = std::make_shared<std::atomic<int>>(Waiting);
    std::weak_ptr<DispatchGroup> weakGroup = group;
    auto decide = [weakGroup, outcome](Outcome decided) {
        int expected = Waiting;
        if (!outcome->compare_exchange_strong(expected, decided)) return;
        if (auto g = weakGroup.lock()) dispatch_group_safe_leave(g);
    };
    connectService(
        serviceName, std::move(protocol),
        [decide](NRVXPCProxy proxy) {
            if (proxy) decide(Connected);
        },
        [decide] { decide(Refused); });
    long waited;
    if (timeout != 0) {
        xpcLog().log("Start to wait for the connection to the service '" + serviceName +
                     "'. Timeout: " + std::to_string(timeout));
        waited = dispatch_group_safe_wait(
            group, dispatchTime(DISPATCH_TIME_NOW, static_cast<std::int64_t>(timeout * NSEC_PER_SEC)));
    } else {
        xpcLog().log("Start to wait forever until connect to the service '" + serviceName + "'");
        waited = dispatch_group_safe_wait(group, DISPATCH_TIME_FOREVER);
    }
    return waited == 0 && outcome->load() == Refused ? 1 : waited;
}

NRVXPCProxy NRVXPCClientHelper::remoteObjectProxyForService(const std::string& serviceName) {
    std::shared_ptr<NRVXPCClientConnection> connection;
    shared().sharedTaskQueue->sync([&] {
        auto it = shared().clientConnections.find(serviceName);
        if (it != shared().clientConnections.end()) connection = it->second;
    });
    return connection ? connection->remoteObjectProxy() : nullptr;
}

NRVXPCProxy NRVXPCClientHelper::remoteObjectProxyForService(const std::string& serviceName, ErrorBlock errorHandler) {
    std::shared_ptr<NRVXPCClientConnection> connection;
    shared().sharedTaskQueue->sync([&] {
        auto it = shared().clientConnections.find(serviceName);
        if (it != shared().clientConnections.end()) connection = it->second;
    });
    if (!connection) {
        if (errorHandler) errorHandler("Cannot find a connection object for the service '" + serviceName + "'.");
        return nullptr;
    }
    return connection->remoteObjectProxyWithErrorHandler(std::move(errorHandler));
}

void NRVXPCClientHelper::disconnectService(const std::string& serviceName) {
    std::string uuid = uuid_;
    shared().sharedTaskQueue->asyncBarrier([serviceName, uuid] {
        xpcLog().log("Disconnect service '" + serviceName + "'");
        auto& table = shared().clientConnections;
        auto it = table.find(serviceName);
        if (it == table.end()) return;
        it->second->unregisterWithUUID(uuid);
        if (it->second->numberOfRegisteredClient() == 0) {
            xpcLog().log("Remove connection object for the service '" + serviceName +
                         "', since no more client is registered.");
            table.erase(it);
        }
    });
}

void NRVXPCClientHelper::stop() {
    std::vector<std::shared_ptr<NRVXPCClientConnection>> touched;
    shared().sharedTaskQueue->syncBarrier([&] {
        xpcLog().log("Stop all client connections of UUID '" + uuid_ + "'.");
        auto& table = shared().clientConnections;
        for (auto it = table.begin(); it != table.end();) {
            it->second->unregisterWithUUID(uuid_);
            touched.push_back(it->second);
            // Queued after the removal above, so it counts without this helper.
            if (it->second->numberOfRegisteredClient() == 0) {
                xpcLog().log("Remove connection object for the service '" + it->first +
                             "', since no more client is registered.");
                it = table.erase(it);
            } else {
                ++it;
            }
        }
    });
    for (const auto& connection : touched) connection->drain();
}

void NRVXPCClientHelper::unregisterUUIDFromAllClients(const std::string& uuid) {
    shared().sharedTaskQueue->asyncBarrier([uuid] {
        xpcLog().log("Unregister UUID '" + uuid + "' from all client connections.");
        for (auto& [name, connection] : shared().clientConnections) connection->unregisterWithUUID(uuid);
    });
}

std::map<std::string, std::shared_ptr<NRVXPCClientConnection>> NRVXPCClientHelper::sharedClientConnectionsForUnitTest() {
    std::map<std::string, std::shared_ptr<NRVXPCClientConnection>> copy;
    shared().sharedTaskQueue->sync([&] { copy = shared().clientConnections; });
    return copy;
}
