// Hands batches of events from one process to any number of listeners
// without broadcasting the events themselves: a reported batch is kept for a
// limited time under a new ticket number, only the ticket is announced by
// the distributed notification "XPCTicketDispenserNotification" (object: the
// service name, user info {"ticket": the number as decimal text}), and a
// listener that cares fetches the batch by ticket over the dispenser's own
// named service (NRVXPCTicketDispenserProtocol).
//
// Threading: every public method may be called from any thread and returns
// at once. The cache, the ticket counter and every reply run on the one
// serial taskQueue ("<service name>.taskQueue"); nothing else touches them.
// A fetch is answered exactly once, from taskQueue. Removal timers and the
// exported object hold the dispenser weakly: a dispenser that is gone answers
// nil and removes nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "ipc/xpc/NRVXPCTypes.h"
#include "platform/dispatch/Dispatch.h"

class NRVXPCTicketDispenser : public std::enable_shared_from_this<NRVXPCTicketDispenser> {
public:
    // Any value the transport carries; a null value stands for nil.
    using Events = platform::xpc::Value;
    using EventsReply = std::function<void(const Events& events)>;

    static constexpr const char* kNotificationName = "XPCTicketDispenserNotification";
    static constexpr const char* kTicketKey = "ticket";
    // What a time limit of 0 stands for.
    static constexpr std::uint64_t kDefaultTimeoutInSec = 60;

    // initWithXPCName:withTimeout: (service name, seconds a batch stays on offer).
    static std::shared_ptr<NRVXPCTicketDispenser> create(const std::string& xpcName, std::uint64_t timeoutInSec);
    NRVXPCTicketDispenser(const NRVXPCTicketDispenser&) = delete;
    NRVXPCTicketDispenser& operator=(const NRVXPCTicketDispenser&) = delete;

    // Publishes the service under xpcName through the process's service side.
    void start();
    // Ends the service and drops every batch still on offer.
    void stop();
    // Queues the batch: a new ticket, kept for the time limit, announced and
    // logged as sent (also when the post did not reach every observer). A
    // nil batch takes a ticket and is announced; its fetch answers nil.
    void reportEvents(const Events& events);

    // NRVXPCTicketDispenserProtocol: the batch of that ticket, or nil (logged)
    // when the ticket was never issued, has expired or was dropped by stop.
    void eventsForTicket(const std::optional<std::string>& ticket, EventsReply reply);

    const std::string& xpcName() const { return xpcName_; }
    std::uint64_t timeoutInSec() const { return timeoutInSec_; }

    // For tests: the last ticket handed out, read and set on taskQueue.
    std::uint64_t currentTicketIDForUnitTest();
    void setCurrentTicketIDForUnitTest(std::uint64_t ticket);

private:
    NRVXPCTicketDispenser(std::string xpcName, std::uint64_t timeoutInSec);

    // These run on taskQueue_.
    std::uint64_t nextTicketID();
    std::uint64_t addEventsToCache(const Events& events);
    void removeEventsFromCache(std::uint64_t ticket);
    void scheduleRemoval(std::uint64_t ticket);
    void announce(std::uint64_t ticket);

    std::shared_ptr<platform::xpc::ExportedObject> exportedObject();

    const std::string xpcName_;
    const std::uint64_t timeoutInSec_;
    const std::shared_ptr<platform::dispatch::DispatchQueue> taskQueue_;
    std::unordered_map<std::string, Events> eventsCache_;
    std::uint64_t currentTicketID_ = 0;
};
