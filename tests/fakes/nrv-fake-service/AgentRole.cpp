// The management agent's per-user service: answers the archive-name request
// and records every upload notice as "<name>\t<folder>".
#include <fcntl.h>
#include <unistd.h>

#include <iostream>

#include "FakeService.h"
#include "FakeProtocols.h"
#include "ipc/xpc/NRVXPCServiceHelper.h"
#include "platform/system/SystemEnvironment.h"

namespace fake {

using platform::xpc::ExportedObject;
using platform::xpc::Reply;
using platform::xpc::Value;
using platform::xpc::Values;

namespace {

void appendLine(const std::string& file, const std::string& line) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t ignored = ::write(fd, line.data(), line.size());
    (void)ignored;
    ::close(fd);
}

}  // namespace

int runAgent(const Options& options) {
    auto misbehaviour = std::make_shared<Misbehaviour>(options);
    auto object = std::make_shared<ExportedObject>();
    object->on("requestArchiveName:", [=](const Values&, const Reply& reply) {
        misbehaviour->handle(reply, [=](const Reply& r) {
            if (options.nameNil || !options.name) r({Value()});
            else r({Value(*options.name)});
        });
    });
    object->on("requestArchiveUpload:at:", [=](const Values& a, const Reply&) {
        if (!options.record) return;
        appendLine(*options.record, *a[0].asString() + "\t" + *a[1].asString() + "\n");
    });
    std::string service = options.service.value_or(kAgentServicePrefix + platform::userName());
    if (options.closings) {
        const std::string closings = *options.closings;
        NRVXPCServiceHelper::sharedHelper()->startService(service, [object, closings](const NRVXPCConnectionRef& c) {
            c->setExportedInterface(NRVRemoteZEPProtocol());
            c->setExportedObject(object);
            c->setInvalidationHandler([closings] { appendLine(closings, "closed\n"); });
            c->resume();
            return true;
        });
    } else {
        NRVXPCServiceHelper::sharedHelper()->startService(service, object, NRVRemoteZEPProtocol());
    }
    waitUntilRegistered(service);
    announceReady();
    return waitForTermination();
}

}  // namespace fake
