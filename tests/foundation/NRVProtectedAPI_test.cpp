#include "foundation/NRVProtectedAPI.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "foundation/NRVScheduledPowerEventHelper.h"
#include "foundation/NRVUserPrivilegeServices.h"
#include "platform/log/LogStore.h"
#include "platform/power/PowerEvents.h"
#include "support/TestSupport.h"

namespace {

TEST(NRVProtectedAPITest, LoadsOneLibraryAndItsSymbols) {
    NRVProtectedAPI api("loader");
    NRVError error;
    EXPECT_EQ(api.loadSymbol("strlen", &error), nullptr);
    EXPECT_EQ(error.code, 10000);
    EXPECT_EQ(error.localizedDescription, "Symbol loading failed due to Framework not being loaded.");
    EXPECT_EQ(error.domain, "com.nerova.endpoint.foundation");

    EXPECT_FALSE(api.loadFramework("/no/such/library.so", &error));
    EXPECT_EQ(error.code, 10000);
    EXPECT_NE(error.localizedDescription.find("/no/such/library.so"), std::string::npos) << error.localizedDescription;

    ASSERT_TRUE(api.loadFramework("libz.so.1", &error)) << error.localizedDescription;
    void* first = api.handle();
    EXPECT_TRUE(api.loadFramework("libm.so.6")) << "the first library stays loaded";
    EXPECT_EQ(api.handle(), first);
    EXPECT_NE(api.loadSymbol("zlibVersion"), nullptr);
    EXPECT_EQ(api.loadSymbol("no_such_symbol_here", &error), nullptr);
    EXPECT_EQ(error.code, 10001);
    EXPECT_NE(error.localizedDescription.find("no_such_symbol_here"), std::string::npos);
}

TEST(NRVProtectedAPITest, MarkerGuardsTheBlock) {
    testsupport::TempDir tmp;
    testsupport::ScopedEnv env("TMPDIR", tmp.path() + "/");
    NRVProtectedAPI api("guard/../x");
    const std::string marker = api.apiProtectionMarkerPath();
    EXPECT_EQ(marker, tmp.path() + "/com.nerova.foundation.protectedAPI.guard_.._x." + std::to_string(::getpid()) + ".txt");

    bool ran = false, markerDuringBlock = false;
    EXPECT_TRUE(api.protectedExecutionUsingBlock([&] {
        ran = true;
        markerDuringBlock = testsupport::exists(marker);
        bool nestedRan = false;
        EXPECT_FALSE(api.protectedExecutionUsingBlock([&] { nestedRan = true; })) << "a second execution is refused";
        EXPECT_FALSE(nestedRan);
    }));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(markerDuringBlock);
    EXPECT_FALSE(testsupport::exists(marker));

    struct Case {
        const char* name;
        std::function<void()> plant;
    } cases[] = {
        {"a marker left behind", [&] { testsupport::writeText(marker, ""); }},
        {"a dangling link at the marker", [&] { ::symlink((tmp / "elsewhere").c_str(), marker.c_str()); }},
    };
    for (const auto& c : cases) {
        c.plant();
        ran = false;
        EXPECT_FALSE(api.protectedExecutionUsingBlock([&] { ran = true; })) << c.name;
        EXPECT_FALSE(ran) << c.name;
        struct stat st {};
        EXPECT_EQ(::lstat(marker.c_str(), &st), 0) << c.name << ": left in place";
        EXPECT_FALSE(testsupport::exists(tmp / "elsewhere")) << c.name;
        ::unlink(marker.c_str());
    }
}

TEST(NRVProtectedAPITest, NothingIsTranslocated) {
    NRVError error("untouched", 1);
    EXPECT_EQ(NRVUserPrivilegeServices::originalURLForTranslocatedURL("/Applications/App.app", &error), std::nullopt);
    EXPECT_EQ(error.domain, "untouched");
}

class FakePowerEvents : public platform::power::Source {
public:
    NRVArray events;
    std::vector<std::string> cancelled;
    int result = 0;
    NRVArray scheduledPowerEvents() override { return events; }
    int cancelScheduledPowerEvent(const NRVDate&, const std::string& owner, const std::string& type) override {
        cancelled.push_back(owner + "/" + type);
        return result;
    }
};

NRVValue event(std::optional<double> time, const char* type, const char* owner) {
    NRVDictionary d;
    if (time) d.set("time", NRVDate{*time});
    d.set("eventtype", type);
    d.set("scheduledby", owner);
    return d;
}

TEST(NRVScheduledPowerEventHelperTest, CancelsOnlyTheOwnersWakeEvents) {
    auto capture = std::make_shared<platform::log::CaptureSink>();
    platform::log::setSink(capture);
    auto fake = std::make_shared<FakePowerEvents>();
    platform::power::setSource(fake);
    const NRVLogHandle log("com.test", "power");

    struct Case {
        const char* name;
        NRVArray events;
        int result;
        std::vector<std::string> cancelled;
        std::vector<std::string> messages;
    } cases[] = {
        {"no events", {}, 0, {}, {"no scheduled wake events found to cancel."}},
        {"another owner only", {event(0, "wake", "other")}, 0, {}, {"no scheduled wake events found to cancel."}},
        {"own wake, other kinds and an event without time",
         {event(0, "wake", "me"), event(60, "poweron", "me"), event(std::nullopt, "wake", "me")},
         0,
         {"me/wake"},
         {"cancelled scheduled wake at 2001-01-01 00:00:00 +0000."}},
        {"a refused cancel", {event(0, "wake", "me")}, -536870160, {"me/wake"},
         {"failed to cancel wake at 2001-01-01 00:00:00 +0000 (rc=0xe00002f0)."}},
    };
    for (const auto& c : cases) {
        fake->events = c.events;
        fake->result = c.result;
        fake->cancelled.clear();
        capture->clear();
        NRVScheduledPowerEventHelper::clearScheduledAutoWakeForOwner("me", log);
        EXPECT_EQ(fake->cancelled, c.cancelled) << c.name;
        std::vector<std::string> messages;
        for (const auto& r : capture->records())
            if (r.category == "power") messages.push_back(r.message);
        EXPECT_EQ(messages, c.messages) << c.name;
    }
    platform::power::setSource(nullptr);
    platform::log::setSink(nullptr);
    EXPECT_TRUE(NRVScheduledPowerEventHelper::scheduledPowerEvents().empty()) << "Linux lists none";
}

}  // namespace
