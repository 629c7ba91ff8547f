// Shared pieces of the broker tests: the environment (the machine's proxy
// settings read from an empty settings file in the runtime root of the fake
// services' fixture, which that fixture sets once for the whole program; the
// test authority as the anchors) and small waiting helpers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "fakes/FakeServiceFixture.h"
#include "ipc/NRVSystemKeychain.h"
#include "support/Events.h"
#include "support/LocalServers.h"

namespace brokertest {

class Environment {
public:
    explicit Environment(const testsupport::LocalServers& servers)
        : anchors_("NRV_ANCHOR_CERTIFICATES", servers.caPath()) {
        testsupport::writeText(root() + "/network/proxy.plist",
                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict/></plist>\n");
        NRVSystemKeychain::refreshRootCAs();
    }
    ~Environment() { NRVSystemKeychain::refreshRootCAs(); }
    const std::string& root() const { return fakeservices::environment().root; }

private:
    testsupport::ScopedEnv anchors_;
};

// Events recorded from handler callbacks, awaited by predicate.
template <class Event>
using Recorder = testsupport::Events<Event>;

// Polls until the condition holds or the limit passes.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

}  // namespace brokertest
