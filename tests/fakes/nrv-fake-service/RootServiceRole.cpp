// The root-privileged service: log extraction and the activity summary,
// answering yes (default), no, never, late or twice, and writing into the
// folder it is given what a real service would write there: one gzip extract
// per day for today and yesterday, or an activity summary.
#include <filesystem>
#include <string>

#include "FakeProtocols.h"
#include "FakeService.h"
#include "foundation/NSDataExtensions.h"
#include "foundation/NSDateExtensions.h"
#include "platform/fs/FileManager.h"

namespace fake {

using platform::xpc::ExportedObject;
using platform::xpc::Reply;
using platform::xpc::Value;
using platform::xpc::Values;

namespace {

void writeDayExtracts(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const NRVDate today = NSDateExtensions::now();
    for (int back = 0; back < 2; ++back) {
        const std::string day =
            NSDateExtensions::zepLogFormattedDateString(NSDateExtensions::dateByAddingDays(today, -back));
        const std::string text = "Timestamp               Ty Process[PID:TID]\n" + day +
                                 " 00:00:01.000 Df nerovad[1:1] fake root-service extract\n";
        const auto gz = NSDataExtensions::gzipCompress(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        if (!gz) continue;
        platform::fs::writeFileAtomically(folder + "/com.nerova.rivovovuvev-" + day + ".log.gz",
                                          std::string_view(reinterpret_cast<const char*>(gz->data()), gz->size()));
    }
}

void writeSummary(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    platform::fs::writeFileAtomically(folder + "/activity-summary.csv", "time,process,event\n");
}

// The service's answer: yes or no, and with --reply-twice a second, opposite
// answer to the same call right after it.
void answer(const Reply& reply, bool yes, bool twice) {
    reply({Value(yes)});
    if (twice) reply.answerAgainForUnitTest({Value(!yes)});
}

}  // namespace

int runRootService(const Options& options) {
    auto misbehaviour = std::make_shared<Misbehaviour>(options);
    const bool yes = options.reply.value_or(true);
    const bool twice = options.replyTwice;
    auto object = std::make_shared<ExportedObject>();
    object->on("runZEPLogExtraction:withReply:", [=](const Values& a, const Reply& reply) {
        std::string folder = a[0].asString() ? *a[0].asString() : "";
        misbehaviour->handle(reply, [=](const Reply& r) {
            if (yes && !folder.empty()) writeDayExtracts(folder);
            answer(r, yes, twice);
        });
    });
    object->on("runWQRSummarization:withReply:", [=](const Values& a, const Reply& reply) {
        std::string folder = a[0].asString() ? *a[0].asString() : "";
        misbehaviour->handle(reply, [=](const Reply& r) {
            if (yes && !folder.empty()) writeSummary(folder);
            answer(r, yes, twice);
        });
    });
    NRVXPCServiceHelper::sharedHelper()->startService(kRootServiceName, object, NRVRootPrivilegeServiceProtocol());
    waitUntilRegistered(kRootServiceName);
    announceReady();
    return waitForTermination();
}

}  // namespace fake
