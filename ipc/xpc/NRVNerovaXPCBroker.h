// The client side of the product's broker: every exchange opens a fresh
// connection to "com.nerova.xpc.broker", asks its status, checks that the
// answering process is signed by the maker, and only then makes the request.
// No state between calls; exactly one reply reaches the caller per call,
// on a connection queue. There is no time limit here: a broker that never
// answers leaves the reply uncalled.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "ipc/xpc/NRVXPCTypes.h"

class NRVNerovaXPCBroker {
public:
    static constexpr const char* kBrokerServiceName = "com.nerova.xpc.broker";

    using ValidReply = std::function<void(NRVXPCConnectionRef connection, std::optional<std::string> version,
                                          std::optional<std::string> error)>;
    using PostReply = std::function<void(std::optional<std::string> error)>;
    using RequestReply = std::function<void(std::optional<NRVXPCEndpoint> endpoint,
                                            std::optional<NRVXPCEndpoint> controlEndpoint,
                                            std::optional<std::string> error)>;
    using VersionReply = std::function<void(std::optional<std::string> version, std::optional<std::string> error)>;

    // On success the caller owns the connection and must invalidate it.
    void validXPCBrokerWithReply(ValidReply reply);
    void postListenerEndpoint(const std::optional<NRVXPCEndpoint>& endpoint,
                              const std::optional<NRVXPCEndpoint>& controlEndpoint, const std::string& service,
                              PostReply reply);
    void requestListenerEndpointForService(const std::string& service, RequestReply reply);
    void versionWithReply(VersionReply reply);
    // The listener the broker itself serves on; the programs never call it.
    static NRVXPCListenerRef createListenerForBrokerService();
};
