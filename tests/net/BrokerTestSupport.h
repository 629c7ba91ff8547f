// Shared pieces of the broker tests: the environment (the machine's proxy
// settings read from an empty settings file in the runtime root of the fake
// services' fixture, which that fixture sets once for the whole program; the
// test authority as the anchors) and small waiting helpers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "fakes/FakeServiceFixture.h"
#include "ipc/keychain/NRVSystemKeychain.h"
#include "net/session/NRVURLSessionHandler.h"
#include "platform/dispatch/WorkerPool_linux.h"
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
    return testsupport::waitUntil(condition, limit);
}

// A handler of the test's own, ended on the test's thread before the test
// returns. Blocks still queued or running (the broker's unregistering, a
// request's completion) hold the handler and its transfer engine too, and
// the last one to let go would end them, and join the engine's thread, on a
// pool thread: once the test has returned, that may happen while the program
// exits, after OpenSSL's exit handler removed its thread-local keys, so the
// ending thread's error queue and random generators are never freed and the
// leak checker reports them. Declared before the brokers that use it, it
// outlives them, then waits until it holds the only reference to both, and
// ends the idle pool threads.
class TestHandler {
public:
    TestHandler() : handler_(NRVURLSessionHandler::createDetached()) {}
    TestHandler(const TestHandler&) = delete;
    TestHandler& operator=(const TestHandler&) = delete;
    ~TestHandler() {
        std::shared_ptr<platform::http::Engine> engine = handler_->engine();
        if (!eventually([&] {
                handler_->drainForUnitTest();
                return handler_.use_count() == 1;
            })) {
            ADD_FAILURE() << "the handler is still held " << handler_.use_count() - 1 << " times after the test";
        }
        handler_.reset();
        if (!eventually([&] { return engine.use_count() == 1; })) {
            ADD_FAILURE() << "the transfer engine is still held " << engine.use_count() - 1 << " times after the test";
        }
        engine.reset();  // joins the engine's thread here
        // The pool threads that ran the handler's queues (the ping timer
        // masks its frames with OpenSSL's random generator) would otherwise
        // idle on past the program's exit in the same way.
        if (!platform::dispatch::detail::WorkerPool::shared().endIdleThreadsForUnitTest(std::chrono::seconds(10))) {
            ADD_FAILURE() << "idle pool threads did not end";
        }
    }

    NRVURLSessionHandler* operator->() const { return handler_.get(); }
    NRVURLSessionHandler& operator*() const { return *handler_; }
    operator const std::shared_ptr<NRVURLSessionHandler>&() const { return handler_; }

private:
    std::shared_ptr<NRVURLSessionHandler> handler_;
};

}  // namespace brokertest
