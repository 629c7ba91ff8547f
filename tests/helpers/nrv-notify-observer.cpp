// Test helper: observes distributed notifications and prints one line per
// notification received, or posts one.
//   nrv-notify-observer --name=NAME [--name=NAME ...] [--as-nobody] [--count=N]
//     prints "READY", then "<name>|<object or ->|<k>=<v>,..." per notification;
//     with --count, exits normally (exit()) after N notifications;
//     SIGTERM ends it through the termination handling of the programs
//   nrv-notify-observer --post=NAME [--object=TEXT] [--info=KEY=VALUE ...] [--as-nobody]
//     prints "POSTED" or "FAILED <reason>"
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/process/CodeIntegrity.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/signal/TerminationSignals.h"

using platform::notify::Notification;
using platform::notify::NotificationCenter;

namespace {

std::string describe(const NRVValue& value) {
    if (auto s = value.asString()) return *s;
    if (auto i = value.asInteger()) return std::to_string(*i);
    if (auto d = value.asDictionary()) return std::string("{").append(std::to_string(d->size())).append(" keys}");
    if (auto a = value.asArray()) return std::string("[").append(std::to_string(a->size())).append(" items]");
    return "?";
}

std::string describe(const Notification& n) {
    std::string line = n.name + "|" + (n.object ? *n.object : "-") + "|";
    if (n.userInfo) {
        for (std::size_t i = 0; i < n.userInfo->size(); ++i) {
            if (i) line += ",";
            line += n.userInfo->keyAt(i) + "=" + describe(n.userInfo->valueAt(i));
        }
    }
    return line;
}

bool dropToNobody() {
    if (geteuid() != 0) return true;
    passwd* pw = getpwnam("nobody");
    if (!pw) return false;
    return setgroups(0, nullptr) == 0 && setgid(pw->pw_gid) == 0 && setuid(pw->pw_uid) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: no one may attach to a signed program or
    // write its memory once it runs.
    platform::process::markNotDumpable();
    std::vector<std::string> names;
    std::string post;
    std::optional<std::string> object;
    NRVDictionary info;
    bool asNobody = false;
    long count = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--name=", 0) == 0) names.push_back(arg.substr(7));
        else if (arg.rfind("--post=", 0) == 0) post = arg.substr(7);
        else if (arg.rfind("--object=", 0) == 0) object = arg.substr(9);
        else if (arg.rfind("--info=", 0) == 0) {
            std::string kv = arg.substr(7);
            auto eq = kv.find('=');
            info.set(kv.substr(0, eq), NRVValue(eq == std::string::npos ? "" : kv.substr(eq + 1)));
        } else if (arg == "--as-nobody") asNobody = true;
        else if (arg.rfind("--count=", 0) == 0) count = std::stol(arg.substr(8));
        else {
            std::cerr << "unknown argument " << arg << "\n";
            return 2;
        }
    }
    platform::signal::installTerminationHandling();
    if (asNobody && !dropToNobody()) {
        std::cout << "FAILED cannot become nobody" << std::endl;
        return 1;
    }
    auto& center = NotificationCenter::defaultCenter();
    if (!post.empty()) {
        platform::Error error;
        Notification n{post, object, info.empty() ? std::nullopt : std::optional<NRVDictionary>(info)};
        if (center.post(n, &error)) std::cout << "POSTED" << std::endl;
        else std::cout << "FAILED " << error.description << std::endl;
        return 0;
    }
    std::mutex mutex;
    std::condition_variable done;
    long seen = 0;
    for (const auto& name : names) {
        platform::Error error;
        if (!center.addObserver(&mutex, name, std::nullopt,
                                [&](const Notification& n) {
                                    std::lock_guard<std::mutex> lock(mutex);
                                    std::cout << describe(n) << std::endl;
                                    ++seen;
                                    done.notify_all();
                                },
                                &error)) {
            std::cout << "FAILED " << error.description << std::endl;
            return 1;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::cout << "READY" << std::endl;
    }
    if (count > 0) {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return seen >= count; });
        std::exit(0);  // with the lock held: no handler runs on while the process exits
    }
    for (;;) pause();
}
