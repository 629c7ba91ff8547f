#include <gtest/gtest.h>

#include "ipc/IPCTestSupport.h"
#include "fakes/FakeServiceFixture.h"
#include "ipc/xpc/NRVNerovaXPCBroker.h"

using namespace std::chrono_literals;

namespace {

struct Answer {
    std::optional<NRVXPCEndpoint> endpoint, control;
    std::optional<std::string> error;
};

Answer request(const std::string& name) {
    auto promise = std::make_shared<std::promise<Answer>>();
    NRVNerovaXPCBroker().requestListenerEndpointForService(
        name, [promise](auto e, auto c, auto error) { promise->set_value(Answer{e, c, error}); });
    auto f = promise->get_future();
    EXPECT_EQ(f.wait_for(30s), std::future_status::ready);
    return f.get();
}

std::optional<std::string> post(const std::string& name) {
    auto promise = std::make_shared<std::promise<std::optional<std::string>>>();
    NRVNerovaXPCBroker().postListenerEndpoint(NRVXPCEndpoint{"nrvxpc.1"}, NRVXPCEndpoint{"nrvxpc.2"}, name,
                                              [promise](auto error) { promise->set_value(error); });
    auto f = promise->get_future();
    EXPECT_EQ(f.wait_for(30s), std::future_status::ready);
    return f.get();
}

using NRVNerovaXPCBrokerTest = FakeServiceFixture;

}  // namespace

TEST_F(NRVNerovaXPCBrokerTest, EveryExchangeGivesExactlyOneAnswer) {
    // No broker: the status call fails with the selector named.
    Answer none = request("com.nerova.x");
    EXPECT_FALSE(none.endpoint || none.control);
    ASSERT_TRUE(none.error);
    EXPECT_EQ(none.error->rfind("Remote proxy error for selector 'statusWithReply:': Error Domain=", 0), 0u)
        << *none.error;

    ASSERT_TRUE(startRole("broker"));
    EXPECT_EQ(post("com.nerova.x"), std::nullopt);
    Answer found = request("com.nerova.x");
    EXPECT_EQ(found.endpoint, NRVXPCEndpoint{"nrvxpc.1"});
    EXPECT_EQ(found.control, NRVXPCEndpoint{"nrvxpc.2"});
    EXPECT_FALSE(found.error);
    // The broker's own failure text is passed on unchanged.
    Answer missing = request("com.nerova.y");
    EXPECT_FALSE(missing.endpoint);
    EXPECT_EQ(missing.error, "No listener endpoint is registered for the service 'com.nerova.y'.");
}

TEST_F(NRVNerovaXPCBrokerTest, BrokerRefusalsAndBrokerDeathDuringTheRequestReachTheCaller) {
    pid_t refusing = startRole("broker", {"--reply=no"});
    ASSERT_TRUE(refusing);
    EXPECT_EQ(post("com.nerova.x"), "The broker refuses registrations.");
    stopRole(refusing);
    // The status call is the first; the request itself makes the broker die.
    ASSERT_TRUE(startRole("broker", {"--crash-after=1"}));
    Answer crashed = request("com.nerova.x");
    ASSERT_TRUE(crashed.error);
    EXPECT_EQ(crashed.error->rfind("Remote proxy error: Error Domain=", 0), 0u) << *crashed.error;
}
