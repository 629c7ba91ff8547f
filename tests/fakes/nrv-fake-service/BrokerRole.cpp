// The product's broker: registration and look-up of listener endpoints by
// service name, with its announcements on start and after each registration.
#include <iostream>
#include <map>
#include <mutex>

#include "FakeService.h"
#include "ipc/xpc/NRVNerovaXPCInterfaceProtocol.h"
#include "ipc/xpc/NRVNerovaXPCBroker.h"
#include "ipc/xpc/NRVXPCNotifications.h"

namespace fake {

using platform::xpc::Endpoint;
using platform::xpc::ExportedObject;
using platform::xpc::Reply;
using platform::xpc::Value;
using platform::xpc::Values;

int runBroker(const Options& options) {
    struct Registration {
        Value endpoint, control;
    };
    auto mutex = std::make_shared<std::mutex>();
    auto table = std::make_shared<std::map<std::string, Registration>>();
    auto misbehaviour = std::make_shared<Misbehaviour>(options);

    auto object = std::make_shared<ExportedObject>();
    object->on("statusWithReply:", [misbehaviour](const Values&, const Reply& reply) {
        misbehaviour->handle(reply, [](const Reply& r) { r({Value("1.5")}); });
    });
    object->on("registerXPCListenerEndpoint:controlListenerEndpoint:forService:withReply:",
               [=](const Values& a, const Reply& reply) {
                   std::string name = *a[2].asString();
                   misbehaviour->handle(reply, [=](const Reply& r) {
                       if (options.reply == false) {
                           r({Value("The broker refuses registrations.")});
                           return;
                       }
                       {
                           std::lock_guard<std::mutex> lock(*mutex);
                           (*table)[name] = Registration{a[0], a[1]};
                       }
                       r({Value()});
                       NRVDictionary info;
                       info.set("registeredName", name);
                       NRVXPCNotifications::post(NRVXPCNotifications::kRegistered, info);
                   });
               });
    object->on("xpcListenerEndpointForService:withReply:", [=](const Values& a, const Reply& reply) {
        std::string name = *a[0].asString();
        misbehaviour->handle(reply, [=](const Reply& r) {
            std::lock_guard<std::mutex> lock(*mutex);
            auto it = table->find(name);
            if (it == table->end()) {
                r({Value(), Value(), Value("No listener endpoint is registered for the service '" + name + "'.")});
                return;
            }
            r({it->second.endpoint, it->second.control, Value()});
        });
    });

    NRVXPCListenerRef listener = NRVNerovaXPCBroker::createListenerForBrokerService();
    if (!listener) {
        std::cerr << "nrv-fake-service: cannot listen as the broker\n";
        return 1;
    }
    listener->setDelegate([object](const NRVXPCConnectionRef& c) {
        c->setExportedInterface(NRVNerovaXPCInterfaceProtocol());
        c->setExportedObject(object);
        c->resume();
        return true;
    });
    listener->resume();
    NRVXPCNotifications::post(NRVXPCNotifications::kServerDidStart, NRVDictionary());
    announceReady();
    int status = waitForTermination();
    listener->invalidate();
    return status;
}

}  // namespace fake
