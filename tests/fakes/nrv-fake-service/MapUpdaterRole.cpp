// The notification-map updater: takes map listener registrations and each
// receiving service's whole set of names (an empty set removes it), and
// sends every listener the whole map (name -> receiving services) after each
// change. With --record=FILE, writes one line per set received:
// "<receiving service>\t<names, sorted, comma-separated>".
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <set>

#include "FakeService.h"
#include "FakeProtocols.h"
#include "ipc/notify/NRVDistributedNotificationProtocols.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "ipc/xpc/NRVXPCServiceHelper.h"

namespace fake {

using platform::xpc::ExportedObject;
using platform::xpc::Reply;
using platform::xpc::Values;

namespace {

struct Updater {
    std::mutex mutex;  // guards listeners and subscriptions
    std::set<std::string> listeners;
    std::map<std::string, std::set<std::string>> subscriptions;
    NRVXPCClientHelper client;
    // Pushes run here, one at a time, off the connections' own queues.
    std::shared_ptr<platform::dispatch::DispatchQueue> pushQueue =
        platform::dispatch::DispatchQueue::createSerial("com.nerova.fake.mapupdater.push");

    NRVDictionary currentMap() {
        std::map<std::string, NRVArray> byName;
        for (const auto& [service, names] : subscriptions)
            for (const auto& name : names) byName[name].emplace_back(service);
        NRVDictionary map;
        for (auto& [name, services] : byName) map.set(name, std::move(services));
        return map;
    }

    void pushTo(const std::set<std::string>& targets, const NRVDictionary& map) {
        for (const auto& target : targets) {
            if (client.connectAndWaitForFirstConnectionForService(target, NRVDistributedNotificationMapUpdateXPCProtocol(),
                                                                  2.0) != 0)
                continue;
            if (auto proxy = client.remoteObjectProxyForService(target, [](const std::string&) {}))
                proxy->call("updateNotificationMap:withReply:", {map}, [](const Values&) {});
        }
    }
};

void record(const Options& options, const std::string& service, const std::set<std::string>& names) {
    if (!options.record) return;
    std::string line = service + "\t";
    for (const auto& n : names) line += (line.back() == '\t' ? "" : ",") + n;
    line += "\n";
    int fd = ::open(options.record->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t ignored = ::write(fd, line.data(), line.size());
    (void)ignored;
    ::close(fd);
}

}  // namespace

int runMapUpdater(const Options& options) {
    auto updater = std::make_shared<Updater>();
    auto object = std::make_shared<ExportedObject>();
    object->on("registerXPCNameForReceivingMapUpdate:withReply:", [=](const Values& a, const Reply& reply) {
        const std::string listener = *a[0].asString();
        NRVDictionary map;
        {
            std::lock_guard<std::mutex> lock(updater->mutex);
            updater->listeners.insert(listener);
            map = updater->currentMap();
        }
        reply({});
        updater->pushQueue->async([=] { updater->pushTo({listener}, map); });
    });
    object->on("registerNotificationNames:callbackXPCName:withReply:", [=](const Values& a, const Reply& reply) {
        std::set<std::string> names;
        for (const auto& n : *a[0].plain()->asArray())
            if (const auto* s = n.asString()) names.insert(*s);
        const std::string service = *a[1].asString();
        record(options, service, names);
        NRVDictionary map;
        std::set<std::string> listeners;
        {
            std::lock_guard<std::mutex> lock(updater->mutex);
            if (names.empty()) updater->subscriptions.erase(service);
            else updater->subscriptions[service] = names;
            map = updater->currentMap();
            listeners = updater->listeners;
        }
        reply({});
        updater->pushQueue->async([=] { updater->pushTo(listeners, map); });
    });
    NRVXPCServiceHelper::sharedHelper()->startService(kNRVDistributedNotificationMapUpdaterServiceName, object,
                                                      NRVDistributedNotificationMapUpdaterXPCProtocol());
    waitUntilRegistered(kNRVDistributedNotificationMapUpdaterServiceName);
    announceReady();
    return waitForTermination();
}

}  // namespace fake
