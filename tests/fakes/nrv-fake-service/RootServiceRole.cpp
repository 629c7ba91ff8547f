// The root-privileged service: log extraction and the activity summary,
// answering yes (default), no, never or late, and writing into the folder it
// is given what a real service would write there.
#include <filesystem>
#include <fstream>

#include "FakeProtocols.h"
#include "FakeService.h"

namespace fake {

using platform::xpc::ExportedObject;
using platform::xpc::Reply;
using platform::xpc::Value;
using platform::xpc::Values;

namespace {

// A gzip stream of a short text (stored block), as the extraction writes per day.
void writeGzip(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    const unsigned char header[] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    const unsigned char block[] = {1, static_cast<unsigned char>(text.size()), static_cast<unsigned char>(text.size() >> 8),
                                   static_cast<unsigned char>(~text.size()), static_cast<unsigned char>(~text.size() >> 8)};
    out.write(reinterpret_cast<const char*>(block), sizeof block);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    // CRC-32 of the text, then its length.
    unsigned long crc = 0xffffffffUL;
    for (unsigned char c : text) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320UL & (0UL - (crc & 1)));
    }
    crc ^= 0xffffffffUL;
    for (unsigned long v : {crc, static_cast<unsigned long>(text.size())})
        for (int k = 0; k < 4; ++k) out.put(static_cast<char>((v >> (8 * k)) & 0xff));
}

}  // namespace

int runRootService(const Options& options) {
    auto misbehaviour = std::make_shared<Misbehaviour>(options);
    const bool yes = options.reply.value_or(true);
    auto object = std::make_shared<ExportedObject>();
    object->on("runZEPLogExtraction:withReply:", [=](const Values& a, const Reply& reply) {
        std::string folder = a[0].asString() ? *a[0].asString() : "";
        misbehaviour->handle(reply, [=](const Reply& r) {
            if (yes && !folder.empty()) {
                std::error_code ec;
                std::filesystem::create_directories(folder, ec);
                writeGzip(folder + "/com.nerova.rivovovuvev-root.log.gz", "fake root-service log extract\n");
            }
            r({Value(yes)});
        });
    });
    object->on("runWQRSummarization:withReply:", [=](const Values& a, const Reply& reply) {
        std::string folder = a[0].asString() ? *a[0].asString() : "";
        misbehaviour->handle(reply, [=](const Reply& r) {
            if (yes && !folder.empty()) {
                std::error_code ec;
                std::filesystem::create_directories(folder, ec);
                std::ofstream(folder + "/activity-summary.csv") << "time,process,event\n";
            }
            r({Value(yes)});
        });
    });
    NRVXPCServiceHelper::sharedHelper()->startService(kRootServiceName, object, NRVRootPrivilegeServiceProtocol());
    waitUntilRegistered(kRootServiceName);
    announceReady();
    return waitForTermination();
}

}  // namespace fake
