#include "ipc/xpc/NRVXPCTicketDispenser.h"

#include <limits>

#include "foundation/NerovaLogger.h"
#include "ipc/notify/NRVDistributedNotificationCenter.h"
#include "ipc/xpc/NRVXPCServiceHelper.h"
#include "ipc/xpc/NRVXPCTicketDispenserProtocol.h"

namespace dispatch = platform::dispatch;
using platform::xpc::Reply;
using platform::xpc::Value;
using platform::xpc::Values;

namespace {

const NRVLogHandle& log() { return NerovaLogger::xpc(); }

// Seconds as nanoseconds for the removal timer. A limit too long to count in
// nanoseconds is kept as long as the clock can count instead of wrapping
// round to a short one.
std::int64_t nanosecondsOf(std::uint64_t seconds) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / dispatch::NSEC_PER_SEC);
    if (seconds > kMax) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(seconds) * dispatch::NSEC_PER_SEC;
}

}  // namespace

std::shared_ptr<NRVXPCTicketDispenser> NRVXPCTicketDispenser::create(const std::string& xpcName,
                                                                     std::uint64_t timeoutInSec) {
    return std::shared_ptr<NRVXPCTicketDispenser>(new NRVXPCTicketDispenser(xpcName, timeoutInSec));
}

NRVXPCTicketDispenser::NRVXPCTicketDispenser(std::string xpcName, std::uint64_t timeoutInSec)
    : xpcName_(std::move(xpcName)),
      timeoutInSec_(timeoutInSec == 0 ? kDefaultTimeoutInSec : timeoutInSec),
      taskQueue_(dispatch::DispatchQueue::createSerial(xpcName_ + ".taskQueue")) {}

void NRVXPCTicketDispenser::start() {
    auto self = shared_from_this();
    taskQueue_->async([self] {
        NRVXPCServiceHelper::sharedHelper()->startService(self->xpcName_, self->exportedObject(),
                                                          NRVXPCTicketDispenserProtocol());
    });
}

void NRVXPCTicketDispenser::stop() {
    auto self = shared_from_this();
    taskQueue_->async([self] {
        NRVXPCServiceHelper::sharedHelper()->stopService(self->xpcName_);
        self->eventsCache_.clear();
    });
}

void NRVXPCTicketDispenser::reportEvents(const Events& events) {
    auto self = shared_from_this();
    taskQueue_->async([self, events] {
        const std::uint64_t ticket = self->addEventsToCache(events);
        self->scheduleRemoval(ticket);
        self->announce(ticket);
    });
}

void NRVXPCTicketDispenser::eventsForTicket(const std::optional<std::string>& ticket, EventsReply reply) {
    auto self = shared_from_this();
    taskQueue_->async([self, ticket, reply = std::move(reply)] {
        auto it = ticket ? self->eventsCache_.find(*ticket) : self->eventsCache_.end();
        if (it == self->eventsCache_.end()) {
            log().log("No events found for ticket ID: " + NRVXPCDescribe(ticket));
            if (reply) reply(Value());
            return;
        }
        // A copy: the batch stays on offer for other listeners.
        Events events = it->second;
        if (reply) reply(events);
    });
}

std::uint64_t NRVXPCTicketDispenser::currentTicketIDForUnitTest() {
    std::uint64_t current = 0;
    taskQueue_->sync([&] { current = currentTicketID_; });
    return current;
}

void NRVXPCTicketDispenser::setCurrentTicketIDForUnitTest(std::uint64_t ticket) {
    taskQueue_->sync([&] { currentTicketID_ = ticket; });
}

std::uint64_t NRVXPCTicketDispenser::nextTicketID() {
    // 0 is never a ticket: after the largest value the numbers start again at 1.
    if (currentTicketID_ == std::numeric_limits<std::uint64_t>::max()) currentTicketID_ = 0;
    return ++currentTicketID_;
}

std::uint64_t NRVXPCTicketDispenser::addEventsToCache(const Events& events) {
    const std::uint64_t ticket = nextTicketID();
    // A nil batch takes its ticket but leaves nothing on offer: its fetch
    // answers nil, as for a ticket that has expired.
    if (events.isNull()) eventsCache_.erase(std::to_string(ticket));
    else eventsCache_[std::to_string(ticket)] = events;
    return ticket;
}

void NRVXPCTicketDispenser::removeEventsFromCache(std::uint64_t ticket) { eventsCache_.erase(std::to_string(ticket)); }

void NRVXPCTicketDispenser::scheduleRemoval(std::uint64_t ticket) {
    std::weak_ptr<NRVXPCTicketDispenser> weak = weak_from_this();
    taskQueue_->after(dispatch::dispatchTime(dispatch::DISPATCH_TIME_NOW, nanosecondsOf(timeoutInSec_)),
                      [weak, ticket] {
                          if (auto self = weak.lock()) self->removeEventsFromCache(ticket);
                      });
}

void NRVXPCTicketDispenser::announce(std::uint64_t ticket) {
    NRVDictionary userInfo;
    userInfo.set(kTicketKey, std::to_string(ticket));
    // A post that did not reach every observer is logged by the center; the
    // batch stays on offer for those it reached and for listeners that learn
    // the ticket some other way.
    NRVDistributedNotificationCenter::postNotificationName(kNotificationName, xpcName_, userInfo);
    log().log("Notification for event(s) sent with ticket: " + std::to_string(ticket));
}

std::shared_ptr<platform::xpc::ExportedObject> NRVXPCTicketDispenser::exportedObject() {
    std::weak_ptr<NRVXPCTicketDispenser> weak = weak_from_this();
    auto object = std::make_shared<platform::xpc::ExportedObject>();
    object->on("eventsForTicket:withReply:", [weak](const Values& arguments, const Reply& reply) {
        std::optional<std::string> ticket;
        if (!arguments.empty() && arguments[0].asString()) ticket = *arguments[0].asString();
        auto self = weak.lock();
        if (!self) {
            reply({Value()});
            return;
        }
        self->eventsForTicket(ticket, [reply](const Events& events) { reply({events}); });
    });
    return object;
}
