// Test helper: subscribes to payload notifications and prints one line per
// notification, "<name>|<payload>" (nil, a text, a number, or "k=v,..." for
// a dictionary of such), after "READY" once every name is in its map.
//   nrv-payload-subscriber --name=NAME [--name=NAME ...]
#include <unistd.h>

#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/process/CodeIntegrity.h"
#include "ipc/notify/NRVDistributedNotification.h"

namespace {

std::string describe(const NRVValue& value) {
    if (value.isNull()) return "nil";
    if (auto s = value.asString()) return *s;
    if (auto i = value.asInteger()) return std::to_string(*i);
    if (auto d = value.asDictionary()) {
        std::string out;
        for (std::size_t k = 0; k < d->size(); ++k) out += (k ? "," : "") + d->keyAt(k) + "=" + describe(d->valueAt(k));
        return out;
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: no one may attach to a signed program or
    // write its memory once it runs.
    platform::process::markNotDumpable();
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--name=", 0) == 0) names.push_back(arg.substr(7));
        else {
            std::cerr << "unknown argument " << arg << "\n";
            return 2;
        }
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t inMap = 0;
    auto subscriber = NRVDistributedNotification::create();
    subscriber->subscribeNames(names, [&mutex](const std::string& name, const NRVValue& object) {
        std::lock_guard<std::mutex> lock(mutex);
        std::cout << name << "|" << describe(object) << std::endl;
    });
    for (const auto& name : names) {
        NRVDistributedNotification::onSubscribedName(name, [&] {
            std::lock_guard<std::mutex> lock(mutex);
            ++inMap;
            changed.notify_all();
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return inMap == names.size(); });
        std::cout << "READY" << std::endl;
    }
    for (;;) pause();
}
