#include "ipc/xpc/NRVNerovaXPCBroker.h"

#include <memory>

#include "foundation/NerovaLogger.h"
#include "ipc/xpc/NRVNerovaXPCInterfaceProtocol.h"
#include "ipc/trust/NRVXPCPeerTrust.h"

using platform::xpc::Connection;
using platform::xpc::fullDescription;
using platform::xpc::Value;
using platform::xpc::Values;

namespace {

std::optional<std::string> optionalString(const Values& values, std::size_t i) {
    if (i >= values.size()) return std::nullopt;
    const std::string* s = values[i].asString();
    return s ? std::optional<std::string>(*s) : std::nullopt;
}

std::optional<NRVXPCEndpoint> optionalEndpoint(const Values& values, std::size_t i) {
    if (i >= values.size() || !values[i].endpoint()) return std::nullopt;
    return *values[i].endpoint();
}

Value toValue(const std::optional<NRVXPCEndpoint>& e) { return e ? Value(*e) : Value(); }

}  // namespace

void NRVNerovaXPCBroker::validXPCBrokerWithReply(ValidReply reply) {
    NRVXPCConnectionRef connection = Connection::createForService(kBrokerServiceName);
    connection->setRemoteInterface(NRVNerovaXPCInterfaceProtocol());
    connection->resume();
    // The connection is held by the blocks until the exchange ends; the
    // transport calls exactly one of them.
    auto proxy = connection->remoteObjectProxyWithErrorHandler([reply, weak = std::weak_ptr<Connection>(connection)](
                                                                   const platform::Error& error) {
        if (auto c = weak.lock()) c->invalidate();
        reply(nullptr, std::nullopt,
              "Remote proxy error for selector 'statusWithReply:': " + fullDescription(error));
    });
    proxy->call("statusWithReply:", {}, [reply, connection](const Values& values) {
        if (NRVXPCPeerTrust::isExpectedService(connection, kBrokerServiceName)) {
            reply(connection, optionalString(values, 0), std::nullopt);
            return;
        }
        int pid = connection->processIdentifier();
        connection->invalidate();
        reply(nullptr, std::nullopt, "Invalid codesign detected. (pid: " + std::to_string(pid) + ").");
    });
}

void NRVNerovaXPCBroker::postListenerEndpoint(const std::optional<NRVXPCEndpoint>& endpoint,
                                              const std::optional<NRVXPCEndpoint>& controlEndpoint,
                                              const std::string& service, PostReply reply) {
    validXPCBrokerWithReply([=](NRVXPCConnectionRef connection, std::optional<std::string>,
                                std::optional<std::string> error) {
        if (!connection) {
            reply(error);
            return;
        }
        auto proxy = connection->remoteObjectProxyWithErrorHandler([reply, connection](const platform::Error& e) {
            connection->invalidate();
            reply("Remote proxy error: " + fullDescription(e));
        });
        proxy->call("registerXPCListenerEndpoint:controlListenerEndpoint:forService:withReply:",
                    {toValue(endpoint), toValue(controlEndpoint), Value(service)},
                    [reply, connection](const Values& values) {
                        connection->invalidate();
                        reply(optionalString(values, 0));
                    });
    });
}

void NRVNerovaXPCBroker::requestListenerEndpointForService(const std::string& service, RequestReply reply) {
    validXPCBrokerWithReply([=](NRVXPCConnectionRef connection, std::optional<std::string>,
                                std::optional<std::string> error) {
        if (!connection) {
            reply(std::nullopt, std::nullopt, error);
            return;
        }
        auto proxy = connection->remoteObjectProxyWithErrorHandler([reply, connection](const platform::Error& e) {
            connection->invalidate();
            reply(std::nullopt, std::nullopt, "Remote proxy error: " + fullDescription(e));
        });
        proxy->call("xpcListenerEndpointForService:withReply:", {Value(service)},
                    [reply, connection](const Values& values) {
                        connection->invalidate();
                        reply(optionalEndpoint(values, 0), optionalEndpoint(values, 1), optionalString(values, 2));
                    });
    });
}

void NRVNerovaXPCBroker::versionWithReply(VersionReply reply) {
    validXPCBrokerWithReply([reply](NRVXPCConnectionRef connection, std::optional<std::string> version,
                                    std::optional<std::string> error) {
        if (connection) {
            connection->setInterruptionHandler(nullptr);
            connection->setInvalidationHandler(nullptr);
            connection->invalidate();
        }
        reply(version, error);
    });
}

NRVXPCListenerRef NRVNerovaXPCBroker::createListenerForBrokerService() {
    platform::Error error;
    NRVXPCListenerRef listener = platform::xpc::Listener::forService(kBrokerServiceName, &error);
    if (!listener) NerovaLogger::xpc().error(error.description);
    return listener;
}
