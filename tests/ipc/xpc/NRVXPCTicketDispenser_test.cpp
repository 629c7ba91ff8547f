#include "ipc/xpc/NRVXPCTicketDispenser.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

#include "ipc/IPCTestSupport.h"
#include "fakes/FakeServiceFixture.h"
#include "ipc/notify/NRVDistributedNotificationCenter.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "ipc/xpc/NRVXPCTicketDispenserProtocol.h"

using namespace std::chrono_literals;
using ipctest::countLog;
using platform::xpc::Value;
using platform::xpc::Values;

namespace {

constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();

// The tickets announced for one service, in arrival order.
class Announcements {
public:
    explicit Announcements(const std::string& service) {
        EXPECT_TRUE(NRVDistributedNotificationCenter::addObserver(
            this,
            [this](const NRVNotification& n) {
                const NRVValue* ticket = n.userInfo ? n.userInfo->find("ticket") : nullptr;
                std::lock_guard<std::mutex> lock(mutex_);
                tickets_.push_back(ticket && ticket->asString() ? *ticket->asString() : "<no ticket>");
                changed_.notify_all();
            },
            std::string("XPCTicketDispenserNotification"), service));
    }
    ~Announcements() { NRVDistributedNotificationCenter::removeObserver(this); }

    std::vector<std::string> waitFor(std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return tickets_.size() >= count; });
        return tickets_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> tickets_;
};

// The dispenser's answer for a ticket, asked in this process; a test failure
// when no answer comes.
Value fetch(NRVXPCTicketDispenser& dispenser, const std::optional<std::string>& ticket) {
    auto promise = std::make_shared<std::promise<Value>>();
    dispenser.eventsForTicket(ticket, [promise](const Value& events) { promise->set_value(events); });
    auto future = promise->get_future();
    if (future.wait_for(30s) != std::future_status::ready) {
        ADD_FAILURE() << "no answer for ticket " << ticket.value_or("(null)");
        return Value();
    }
    return future.get();
}

// Lines of one process in the store.
std::size_t countLogOf(const std::string& store, int pid, const std::string& message) {
    std::size_t n = 0;
    std::ifstream in(store);
    std::string line;
    while (std::getline(in, line))
        if (auto r = platform::log::parseLine(line)) n += r->pid == pid && r->message == message;
    return n;
}

std::string noEvents(const std::string& ticket) { return "No events found for ticket ID: " + ticket; }
std::string sent(const std::string& ticket) { return "Notification for event(s) sent with ticket: " + ticket; }

class NRVXPCTicketDispenserTest : public FakeServiceFixture {};

}  // namespace

// A producer process reports, this process hears the tickets and fetches the
// batches over the producer's named service.
TEST_F(NRVXPCTicketDispenserTest, ListenerInAnotherProcessFetchesAnnouncedBatches) {
    const std::string service = "com.nerova.xpc.name.ticketDispenser";
    ASSERT_TRUE(startRole("broker"));
    Announcements announced(service);
    pid_t producer = startRole("dispenser");
    ASSERT_TRUE(producer);

    ASSERT_EQ(kill(producer, SIGUSR1), 0);
    ASSERT_EQ(announced.waitFor(1), (std::vector<std::string>{"1"}));
    ASSERT_EQ(kill(producer, SIGUSR1), 0);
    ASSERT_EQ(announced.waitFor(2), (std::vector<std::string>{"1", "2"}));

    NRVXPCClientHelper client;
    ASSERT_EQ(client.connectAndWaitForFirstConnectionForService(service, NRVXPCTicketDispenserProtocol(), 5.0), 0);
    auto ask = [&](Value ticket) {
        auto outcome = ipctest::callAndWait(
            [&](auto onError) { return client.remoteObjectProxyForService(service, onError); },
            "eventsForTicket:withReply:", {std::move(ticket)});
        EXPECT_TRUE(outcome.reply) << outcome.error.value_or("timed out");
        return outcome.reply && outcome.reply->size() == 1 ? (*outcome.reply)[0] : Value("<no reply>");
    };
    const std::string pid = std::to_string(producer);
    const Value first(NRVArray{NRVValue("event 1"), NRVValue(pid)});
    const Value second(NRVArray{NRVValue("event 2"), NRVValue(pid)});
    struct Case {
        const char* situation;
        Value ticket;
        Value expected;
    } cases[] = {
        {"first ticket", Value("1"), first},
        {"first ticket fetched again", Value("1"), first},
        {"second ticket", Value("2"), second},
        {"a number never issued", Value("3"), Value()},
        {"zero", Value("0"), Value()},
        {"not a number", Value("1; 2"), Value()},
        {"nil", Value(), Value()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.situation);
        EXPECT_EQ(ask(c.ticket), c.expected);
    }
    EXPECT_TRUE(ipctest::eventually([&] { return countLogOf(logStore(), producer, noEvents("3")) == 1; }));
    EXPECT_EQ(countLogOf(logStore(), producer, noEvents("(null)")), 1u);
    EXPECT_EQ(countLogOf(logStore(), producer, sent("2")), 1u);
    client.disconnectService(service);
}

TEST_F(NRVXPCTicketDispenserTest, TicketsSkipZeroWhenTheyWrapAndANilBatchTakesOne) {
    auto dispenser = NRVXPCTicketDispenser::create("com.nerova.test.dispenser.wrap", 30);
    Announcements announced(dispenser->xpcName());
    dispenser->setCurrentTicketIDForUnitTest(kLargest - 1);

    // A nil batch is announced like any other; nothing is on offer under it.
    dispenser->reportEvents(Value());
    dispenser->reportEvents(Value("a"));
    dispenser->reportEvents(Value("b"));
    const std::string largest = std::to_string(kLargest);
    EXPECT_EQ(announced.waitFor(3), (std::vector<std::string>{largest, "1", "2"}));
    EXPECT_EQ(dispenser->currentTicketIDForUnitTest(), 2u);
    EXPECT_EQ(fetch(*dispenser, largest), Value());
    EXPECT_EQ(fetch(*dispenser, "1"), Value("a"));
    EXPECT_EQ(fetch(*dispenser, "2"), Value("b"));
    EXPECT_EQ(fetch(*dispenser, "0"), Value());
    EXPECT_TRUE(ipctest::eventually([&] { return countLog(logStore(), sent(largest)) == 1; }));
    EXPECT_TRUE(ipctest::eventually([&] { return countLog(logStore(), noEvents(largest)) == 1; }));

    // Stopping drops every batch still on offer.
    dispenser->stop();
    for (const std::string& ticket : {std::string("1"), std::string("2")}) {
        SCOPED_TRACE(ticket);
        EXPECT_EQ(fetch(*dispenser, ticket), Value());
    }
}

// A post that does not reach every observer (here: one that cannot be sent
// at all, its object too long for a notification) is logged by the center;
// the ticket is still logged as sent and its batch stays on offer.
TEST_F(NRVXPCTicketDispenserTest, TicketIsLoggedAsSentWhenThePostFails) {
    auto failedPosts = [&] {
        std::size_t n = 0;
        for (const std::string& message : ipctest::logMessages(logStore()))
            n += message.rfind("Failed to post distributed notification 'XPCTicketDispenserNotification'.", 0) == 0;
        return n;
    };
    // The store is shared by the tests of this process: count from here.
    const std::size_t sentBefore = countLog(logStore(), sent("1"));
    const std::size_t failedBefore = failedPosts();
    const std::string name = "com.nerova.test.dispenser." + std::string(70000, 'x');
    auto dispenser = NRVXPCTicketDispenser::create(name, 30);
    dispenser->reportEvents(Value("a"));
    EXPECT_EQ(fetch(*dispenser, "1"), Value("a"));
    EXPECT_TRUE(ipctest::eventually([&] { return countLog(logStore(), sent("1")) == sentBefore + 1; }));
    // Logged on the same queue before the line above.
    EXPECT_EQ(failedPosts(), failedBefore + 1);
}

TEST_F(NRVXPCTicketDispenserTest, BatchesLeaveAfterTheirTimeLimitAndLongLimitsDoNotWrap) {
    EXPECT_EQ(NRVXPCTicketDispenser::create("com.nerova.test.dispenser.default", 0)->timeoutInSec(), 60u);
    struct Case {
        const char* situation;
        std::uint64_t timeout;
        bool keptAfterTwoSeconds;
    } cases[] = {
        {"one second", 1, false},
        // Counted in nanoseconds these would wrap round to 0.29 s and to a
        // moment in the past.
        {"just past what nanoseconds can count", 18446744074ull, true},
        {"the largest limit", kLargest, true},
    };
    const std::size_t expiredBefore = countLog(logStore(), noEvents("1"));
    std::vector<std::shared_ptr<NRVXPCTicketDispenser>> dispensers;
    for (const Case& c : cases) {
        auto d = NRVXPCTicketDispenser::create("com.nerova.test.dispenser.limit" + std::to_string(dispensers.size()),
                                               c.timeout);
        d->reportEvents(Value(c.situation));
        EXPECT_EQ(fetch(*d, "1"), Value(c.situation)) << c.situation;
        dispensers.push_back(d);
    }
    std::this_thread::sleep_for(2s);
    for (std::size_t i = 0; i < dispensers.size(); ++i) {
        SCOPED_TRACE(cases[i].situation);
        EXPECT_EQ(fetch(*dispensers[i], "1"), cases[i].keptAfterTwoSeconds ? Value(cases[i].situation) : Value());
    }
    EXPECT_EQ(countLog(logStore(), noEvents("1")), expiredBefore + 1);
}

TEST_F(NRVXPCTicketDispenserTest, ThreadsReportingAtOnceGetOneTicketEach) {
    constexpr int kThreads = 8, kEach = 100;
    auto dispenser = NRVXPCTicketDispenser::create("com.nerova.test.dispenser.threads", 60);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) dispenser->reportEvents(Value(std::to_string(t) + "-" + std::to_string(i)));
        });
    }
    for (auto& t : threads) t.join();
    const std::uint64_t total = kThreads * kEach;
    EXPECT_EQ(dispenser->currentTicketIDForUnitTest(), total);
    std::set<std::string> batches;
    for (std::uint64_t ticket = 1; ticket <= total; ++ticket) {
        Value events = fetch(*dispenser, std::to_string(ticket));
        ASSERT_TRUE(events.asString()) << "ticket " << ticket;
        batches.insert(*events.asString());
    }
    EXPECT_EQ(batches.size(), total);
    EXPECT_EQ(fetch(*dispenser, std::to_string(total + 1)), Value());
}
