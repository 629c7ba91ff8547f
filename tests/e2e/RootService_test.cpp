// The collection's two calls to the root-privileged service, against the
// fake service (and the fake broker it registers with): whole collections in
// this process for the answers yes, no and never, and the extractor and the
// summary collector alone for answers that come late or twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "collector/NRVOSLogExtractor.h"
#include "collector/NRVRootPrivilegeServiceCall.h"
#include "collector/NRVRootPrivilegeServiceProtocol.h"
#include "collector/NRVWQRSummaryCollector.h"
#include "collector/StatusLogger.h"
#include "collector/ZEP.h"
#include "fakes/FakeServiceFixture.h"
#include "foundation/NRVProductInfo.h"
#include "foundation/NSDateExtensions.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "platform/log/LogStore.h"
#include "support/CollectionDriver.h"
#include "support/Events.h"
#include "support/TestSupport.h"

namespace fsys = std::filesystem;
using testsupport::lines;
using testsupport::readText;

namespace {

std::string today() { return NSDateExtensions::zepLogFormattedDateString(NSDateExtensions::now()); }
std::string yesterday() {
    return NSDateExtensions::zepLogFormattedDateString(NSDateExtensions::dateByAddingDays(NSDateExtensions::now(), -1));
}

class RootServiceRun : public FakeServiceFixture {
protected:
    void SetUp() override {
        FakeServiceFixture::SetUp();
        fsys::create_directories(tmp / "home");
        fsys::create_directories(tmp / "out");
        // Records of today in the store: the product subsystem's, and one of
        // a catalogued process.
        std::string text;
        for (const auto& [process, subsystem] : {std::pair<std::string, std::string>{"nerovad", "com.nerova.rivovovuvev"},
                                                 {"sysextd", "com.apple.sx"}}) {
            platform::log::Record r;
            r.timestamp = "now";
            r.unixTime = NSDateExtensions::now().timeIntervalSince1970();
            r.pid = 7;
            r.process = process;
            r.subsystem = subsystem;
            r.category = "zep";
            r.message = "a record of the store";
            text += platform::log::renderLine(r) + "\n";
        }
        testsupport::writeText(tmp / "unified.log", text);
        platform::log::setSink(capture);
    }
    void TearDown() override {
        platform::log::setSink(nullptr);
        NRVRootPrivilegeService::setReplyTimeoutForUnitTest(std::nullopt);
        FakeServiceFixture::TearDown();
    }

    // A whole collection on the sample tree; the collection log.
    std::string collect() {
        testsupport::ScopedEnv root("NRV_SYSTEM_ROOT", testsupport::sampleRoot());
        testsupport::ScopedEnv home("HOME", tmp / "home");
        testsupport::ScopedEnv tmpdir("TMPDIR", tmp.path());
        NRVProductInfo::resetIsNerovaHomeTo(std::nullopt);
        auto logger = std::make_shared<StatusLogger>(tmp / "run.log");
        const std::optional<bool> success = testsupport::runDriver(logger, tmp / name, tmp / "out", name).success;
        EXPECT_TRUE(success.has_value() && *success);
        return logger->progressStatus();
    }
    std::vector<std::string> members() {
        auto all = testsupport::archiveMembers(tmp / ("out/" + name + ".zip"));
        std::vector<std::string> picked;
        for (auto& m : all)
            if (m.find("/NerovaDiagnostics/com.nerova") != std::string::npos ||
                m.find("/NerovaDiagnostics/sysextd") != std::string::npos || m.find("/wqr/") != std::string::npos)
                picked.push_back(m.substr(name.size() + 1));
        std::sort(picked.begin(), picked.end());
        return picked;
    }
    std::string member(const std::string& path) {
        return testsupport::gunzippedArchiveMemberText(tmp / ("out/" + name + ".zip"), name + "/" + path);
    }
    // The lines of the two service steps, in order.
    static std::vector<std::string> serviceLines(const std::string& log) {
        std::vector<std::string> found;
        for (const auto& line : lines(log))
            if (line.find("ZEP Status: ") != std::string::npos || line.find("Finished processing log") != std::string::npos)
                found.push_back(line);
        return found;
    }
    bool logged(const std::string& message) {
        for (const auto& r : capture->records())
            if (r.message == message) return true;
        return false;
    }

    testsupport::TempDir tmp;
    testsupport::ScopedEnv store{"NRV_LOG_STORE", tmp / "unified.log"};
    std::shared_ptr<platform::log::CaptureSink> capture = std::make_shared<platform::log::CaptureSink>();
    const std::string name = "Host_20261210_000000_ZEP";
};

}  // namespace

// The service does the extraction: no `log show` for the subsystem (the
// store's record of today would have made a file of its own), its per-day
// files and summary travel in the archive, the process log is still made here.
TEST_F(RootServiceRun, ServiceAnsweringYesDoesTheExtraction) {
    ASSERT_GT(startRole("broker"), 0);
    ASSERT_GT(startRole("root-service"), 0);
    const std::string log = collect();
    EXPECT_EQ(serviceLines(log), (std::vector<std::string>{
                                     "Success: ZEP Status: Log file collection completed.",
                                     "Success: ZEP Status: Log collection complete for process = sysextd",
                                     "Success: ZEP Status: WQR activity summary collected.",
                                 }));
    EXPECT_EQ(members(), (std::vector<std::string>{
                             "NerovaDiagnostics/com.nerova.rivovovuvev-" + yesterday() + ".log.gz",
                             "NerovaDiagnostics/com.nerova.rivovovuvev-" + today() + ".log.gz",
                             "NerovaDiagnostics/sysextd-" + today() + ".log.gz",
                             "wqr/",
                             "wqr/activity-summary.csv",
                         }));
    EXPECT_NE(member("NerovaDiagnostics/com.nerova.rivovovuvev-" + today() + ".log.gz").find("fake root-service extract"),
              std::string::npos);
    EXPECT_NE(member("NerovaDiagnostics/sysextd-" + today() + ".log.gz").find("sysextd[7:0] [com.apple.sx:zep] a record of the store"),
              std::string::npos);
}

TEST_F(RootServiceRun, ServiceAnsweringNoLeavesTheSubsystemOut) {
    ASSERT_GT(startRole("broker"), 0);
    ASSERT_GT(startRole("root-service", {"--reply=no"}), 0);
    EXPECT_EQ(serviceLines(collect()), (std::vector<std::string>{
                                           "Failure: ZEP Status: Log file collection incomplete",
                                           "Success: ZEP Status: Log collection complete for process = sysextd",
                                           "Warning: ZEP Status: No NerovaDataRecorder data found for activity summary",
                                       }));
    EXPECT_EQ(members(), std::vector<std::string>{"NerovaDiagnostics/sysextd-" + today() + ".log.gz"});
}

TEST_F(RootServiceRun, ServiceNeverAnsweringTimesOutAndTheRunGoesOn) {
    NRVRootPrivilegeService::setReplyTimeoutForUnitTest(std::chrono::milliseconds(1000));
    ASSERT_GT(startRole("broker"), 0);
    ASSERT_GT(startRole("root-service", {"--never-reply"}), 0);
    EXPECT_EQ(serviceLines(collect()), (std::vector<std::string>{
                                           "Failure: ZEP Status: Log file collection incomplete",
                                           "Success: ZEP Status: Log collection complete for process = sysextd",
                                           "Failure: ZEP Status: WQR activity summary timed out",
                                       }));
    EXPECT_TRUE(logged("Timeout waiting for ZEP log extraction to complete"));
    EXPECT_TRUE(logged("Timeout waiting for WQR activity summary to complete"));
}

// Answers after the wait ended, or a second answer to the same call, change
// nothing: the first answer within the wait is the one reported.
TEST_F(RootServiceRun, LateAndRepeatedAnswersAreIgnored) {
    struct Row {
        const char* label;
        std::vector<std::string> knobs;
        std::vector<std::string> expected;
        std::chrono::milliseconds wait;
    };
    // Only the late row needs a short wait; the others get one that a
    // loaded machine's first answer stays well within.
    const Row rows[] = {
        {"late yes", {"--delay-ms=1500"},
         {"Failure: ZEP Status: Log file collection incomplete", "Failure: ZEP Status: WQR activity summary timed out"},
         std::chrono::milliseconds(500)},
        {"no, then yes", {"--reply=no", "--reply-twice"},
         {"Failure: ZEP Status: Log file collection incomplete",
          "Warning: ZEP Status: No NerovaDataRecorder data found for activity summary"},
         std::chrono::seconds(20)},
        {"yes, then no", {"--reply-twice"},
         {"Success: ZEP Status: Log file collection completed.", "Success: ZEP Status: WQR activity summary collected."},
         std::chrono::seconds(20)},
    };
    ASSERT_GT(startRole("broker"), 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        NRVRootPrivilegeService::setReplyTimeoutForUnitTest(row.wait);
        const pid_t service = startRole("root-service", row.knobs);
        ASSERT_GT(service, 0);
        const std::string staging = tmp / row.label;
        auto logger = std::make_shared<StatusLogger>(tmp / "row.log");
        NRVOSLogExtractor().extractLogsForNerovaSubSystem(staging, logger);
        NRVWQRSummaryCollector().collectSummaryIntoStagingLocation(staging, logger);
        // Time for any late or second answer to arrive (the late one comes
        // 1.5 s after its call): a bound for something that must change nothing.
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        EXPECT_EQ(serviceLines(logger->progressStatus()), row.expected);
        stopRole(service);
    }
}

// A client helper given to the two steps is the giver's: it stays connected
// after them. One that a step makes for itself is disconnected at its end.
TEST_F(RootServiceRun, GivenClientHelperStaysConnectedAndOwnOneIsDisconnected) {
    ASSERT_GT(startRole("broker"), 0);
    ASSERT_GT(startRole("root-service"), 0);
    const std::string service = NRVRootPrivilegeService::kServiceName;
    const std::vector<std::string> bothDone = {"Success: ZEP Status: Log file collection completed.",
                                               "Success: ZEP Status: WQR activity summary collected."};

    auto logger = std::make_shared<StatusLogger>(tmp / "own.log");
    NRVOSLogExtractor().extractLogsForNerovaSubSystem(tmp / "own", logger);
    NRVWQRSummaryCollector().collectSummaryIntoStagingLocation(tmp / "own", logger);
    EXPECT_EQ(serviceLines(logger->progressStatus()), bothDone);
    EXPECT_EQ(NRVXPCClientHelper::sharedClientConnectionsForUnitTest().count(service), 0u);

    auto helper = std::make_shared<NRVXPCClientHelper>();
    logger = std::make_shared<StatusLogger>(tmp / "given.log");
    NRVOSLogExtractor extractor;
    extractor.setXpcClientHelper(helper);
    extractor.extractLogsForNerovaSubSystem(tmp / "given", logger);
    NRVWQRSummaryCollector summary;
    summary.setXpcClientHelper(helper);
    summary.collectSummaryIntoStagingLocation(tmp / "given", logger);
    EXPECT_EQ(serviceLines(logger->progressStatus()), bothDone);
    const auto connections = NRVXPCClientHelper::sharedClientConnectionsForUnitTest();
    ASSERT_EQ(connections.count(service), 1u);
    EXPECT_EQ(connections.at(service)->numberOfRegisteredClient(), 1u);
    helper->disconnectService(service);
}

// The service vanishing with a call pending: the proxy's error ends the wait
// at once, the step reports as for a NO answer and the error record carries
// the transport's message. The service answers one call and dies on the
// next, so the other step goes first. Without a service to reach, the
// summary is skipped with its own record.
TEST_F(RootServiceRun, ProxyErrorsAndAnUnreachableServiceAreReportedWithTheirRecords) {
    NRVRootPrivilegeService::setReplyTimeoutForUnitTest(std::chrono::milliseconds(60000));
    ASSERT_GT(startRole("broker"), 0);
    struct Row {
        const char* label;
        bool extractionFails;  // else the summary's call meets the crash
        std::string line;
        std::string recordPrefix;
    };
    const Row rows[] = {
        {"extraction", true, "Failure: ZEP Status: Log file collection incomplete", "Failed to retrieve remote proxy: "},
        {"summary", false, "Warning: ZEP Status: No NerovaDataRecorder data found for activity summary",
         "Failed to retrieve remote proxy for WQR summary: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        capture->clear();
        const pid_t service = startRole("root-service", {"--crash-after=1"});
        ASSERT_GT(service, 0);
        const std::string staging = tmp / row.label;
        auto logger = std::make_shared<StatusLogger>(tmp / "row.log");
        const auto started = std::chrono::steady_clock::now();
        if (row.extractionFails) {
            NRVWQRSummaryCollector().collectSummaryIntoStagingLocation(staging, logger);
            logger->setProgressStatus("");
            NRVOSLogExtractor().extractLogsForNerovaSubSystem(staging, logger);
        } else {
            NRVOSLogExtractor().extractLogsForNerovaSubSystem(staging, logger);
            logger->setProgressStatus("");
            NRVWQRSummaryCollector().collectSummaryIntoStagingLocation(staging, logger);
        }
        // Ended by the error, not by the minute's wait.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
        EXPECT_EQ(serviceLines(logger->progressStatus()), std::vector<std::string>{row.line});
        std::vector<std::string> records;
        for (const auto& r : capture->records())
            if (r.message.rfind(row.recordPrefix, 0) == 0) records.push_back(r.message);
        ASSERT_EQ(records.size(), 1u) << "no error record";
        EXPECT_GT(records[0].size(), row.recordPrefix.size()) << "the record carries no message";
        stopRole(service);
    }

    capture->clear();
    auto logger = std::make_shared<StatusLogger>(tmp / "unreachable.log");
    NRVWQRSummaryCollector().collectSummaryIntoStagingLocation(tmp / "unreachable", logger);
    EXPECT_EQ(serviceLines(logger->progressStatus()),
              std::vector<std::string>{"Warning: ZEP Status: WQR activity summary skipped (XPC connection failed)"});
    EXPECT_TRUE(logged("Unable to establish XPC Connection to Nerova ServiceManager for WQR summary"));
    EXPECT_FALSE(testsupport::exists(tmp / "unreachable/wqr"));
}

// Once the service dies, anyone may bind the endpoints the broker still hands
// out. The client that was connected refuses the process that took them
// (unsigned, or signed by another maker) as soon as it answers the status
// call, which carries nothing, and never sends it the step's call with its
// folder.
TEST_F(RootServiceRun, AnImpostorOnADeadServicesEndpointsIsRefusedAndGetsNoCall) {
    ASSERT_GT(startRole("broker"), 0);
    const std::string service = NRVRootPrivilegeService::kServiceName;
    const std::string selector = "runZEPLogExtraction:withReply:";
    int n = 0;
    for (const auto& impostor : impostorPrograms()) {
        SCOPED_TRACE(impostor.label);
        const std::string row = std::to_string(n++);
        const pid_t genuine = startRole("root-service");
        ASSERT_GT(genuine, 0);
        auto helper = std::make_shared<NRVXPCClientHelper>();
        NRVRootPrivilegeServiceCall client(helper);
        ASSERT_TRUE(client.connect());
        EXPECT_TRUE(client.call(selector, tmp / ("genuine" + row), "").value);
        EXPECT_TRUE(testsupport::exists(tmp / ("genuine" + row + "/com.nerova.rivovovuvev-" + today() + ".log.gz")));
        const auto endpoints = endpointsOf(service);
        ASSERT_FALSE(endpoints.first.empty());

        stopRole(genuine, SIGKILL);
        ASSERT_TRUE(testsupport::waitUntil([&] { return helper->remoteObjectProxyForService(service) == nullptr; }));
        capture->clear();
        const std::string record = tmp / ("impostor" + row + ".txt");
        const pid_t taker = startImpostor(impostor, service, endpoints, record);
        ASSERT_GT(taker, 0);
        // It announces the registration, as anyone may: the client tries it at once.
        const std::string refusal =
            "Connection to '" + service + "' (pid: " + std::to_string(taker) + ") is not the expected service. Drop it.";
        ASSERT_TRUE(testsupport::waitUntil([&] { return logged(refusal); }, std::chrono::seconds(30)));
        EXPECT_EQ(helper->remoteObjectProxyForService(service), nullptr);
        const auto answer = client.call(selector, tmp / ("taken" + row), "");
        EXPECT_FALSE(answer.value);
        EXPECT_FALSE(answer.timedOut);
        // Only status calls ever reached it, and it kept no folder.
        const auto calls = lines(readText(record));
        EXPECT_FALSE(calls.empty());
        for (const auto& line : calls) EXPECT_EQ(line, "statusWithReply:");
        EXPECT_FALSE(testsupport::exists(tmp / ("taken" + row)));
        helper->disconnectService(service);
        stopRole(taker);
    }
}
