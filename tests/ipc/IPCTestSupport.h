// Helpers of the interprocess tests: waiting for a call's outcome and
// reading this process's log lines back from the fixture's store.
#pragma once

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ipc/xpc/NRVXPCTypes.h"
#include "platform/log/LogStore.h"
#include "support/Events.h"

namespace ipctest {

struct Outcome {
    std::optional<platform::xpc::Values> reply;
    std::optional<std::string> error;
    bool timedOut() const { return !reply && !error; }
};

// Calls through a proxy made by `makeProxy(errorBlock)` and waits at most
// `limit`. The default only ends a wait for an answer that failed to come; a
// test that expects no answer gives a short limit of its own.
template <class MakeProxy>
Outcome callAndWait(MakeProxy makeProxy, const std::string& selector, platform::xpc::Values args,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto once = std::make_shared<std::once_flag>();
    NRVXPCProxy proxy = makeProxy([promise, once](const std::string& e) {
        std::call_once(*once, [&] { promise->set_value(Outcome{std::nullopt, e}); });
    });
    if (!proxy) {
        auto f = promise->get_future();
        return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready ? f.get() : Outcome{};
    }
    proxy->call(selector, std::move(args), [promise, once](const platform::xpc::Values& v) {
        std::call_once(*once, [&] { promise->set_value(Outcome{v, std::nullopt}); });
    });
    auto future = promise->get_future();
    if (future.wait_for(limit) != std::future_status::ready) return Outcome{};
    return future.get();
}

inline std::vector<std::string> logMessages(const std::string& store) {
    std::vector<std::string> messages;
    std::ifstream in(store);
    std::string line;
    while (std::getline(in, line))
        if (auto r = platform::log::parseLine(line)) messages.push_back(r->message);
    return messages;
}

inline std::size_t countLog(const std::string& store, const std::string& message) {
    std::size_t n = 0;
    for (const auto& m : logMessages(store)) n += m == message;
    return n;
}

// Polls `condition` up to `limit`. Every caller waits for something that
// must happen, so the bound only ends a wait that failed: it is what a
// loaded, sanitized machine may need for a process to start, connect and be
// checked, and a passing test never sits through it.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    return testsupport::waitUntil(condition, limit);
}

}  // namespace ipctest
