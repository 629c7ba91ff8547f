// The agent operations of the agent-driven program one at a time, in this
// process, against the fake agent, with short limits in place of the 30 s
// the program uses: the failure paths a whole run cannot reach in time.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "agent-tool/RemoteZEPSession.h"
#include "fakes/FakeServiceFixture.h"
#include "ipc/IPCTestSupport.h"
#include "ipc/xpc/NRVXPCClientHelper.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;

namespace {

class RemoteZEPOperations : public FakeServiceFixture {
protected:
    void SetUp() override {
        FakeServiceFixture::SetUp();
        // The store is shared by the tests of this process.
        linesBefore_ = ipctest::logMessages(logStore()).size();
        ASSERT_GT(startRole("broker"), 0);
    }

    std::unique_ptr<RemoteZEPSession> session(std::chrono::milliseconds limit) {
        return std::make_unique<RemoteZEPSession>(ZEPCommandLine(helper, limit));
    }
    pid_t startAgent(std::vector<std::string> knobs) {
        knobs.push_back("--record=" + record());
        return startRole("agent", knobs);
    }
    std::string record() const { return runtimeRoot() + "/uploads-" + testName() + ".txt"; }
    static std::string testName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

    // This process's "remote zep" diagnostics lines since the test began,
    // without the tag, with the service name as "@".
    std::vector<std::string> remoteZEPLines(const std::string& service) const {
        const std::string tag = "remote zep : ";
        std::vector<std::string> found;
        const auto all = ipctest::logMessages(logStore());
        for (std::size_t i = linesBefore_; i < all.size(); ++i) {
            if (all[i].rfind(tag, 0) != 0) continue;
            std::string line = all[i].substr(tag.size());
            for (std::size_t at; (at = line.find(service)) != std::string::npos;) line.replace(at, service.size(), 1, '@');
            found.push_back(line);
        }
        return found;
    }

    std::shared_ptr<NRVXPCClientHelper> helper = std::make_shared<NRVXPCClientHelper>();
    std::size_t linesBefore_ = 0;
};

}  // namespace

// The agent vanishes while asking for the name: its error ends the wait at
// once, with the error's text, and no name.
TEST_F(RemoteZEPOperations, ProxyErrorWhileAskingForTheName) {
    ASSERT_GT(startAgent({"--name=first", "--crash-after=1"}), 0);
    auto tool = session(10s);
    const std::string service = tool->serviceName();
    ASSERT_TRUE(tool->connectToAgent(service));
    EXPECT_EQ(tool->requestArchiveName(service), "first");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tool->requestArchiveName(service), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 9s) << "ended by the error, not by the limit";
    const auto lines = remoteZEPLines(service);
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Connected to @.");
    EXPECT_EQ(lines[1].rfind("Error making XPC connection to @: ", 0), 0u) << lines[1];
    EXPECT_GT(lines[1].size(), std::string("Error making XPC connection to @: ").size()) << "the error's text";
    helper->disconnectService(service);
}

// No usable proxy for the upload notice: never connected, and connected but
// since lost. Each names the upload service in place of the agent's and
// sends nothing.
TEST_F(RemoteZEPOperations, NoUsableProxyForTheUploadNotice) {
    auto tool = session(10s);
    const std::string service = tool->serviceName();
    tool->requestUpload("A", "/tmp");

    pid_t agent = startAgent({"--name=A"});
    ASSERT_GT(agent, 0);
    ASSERT_TRUE(tool->connectToAgent(service));
    stopRole(agent, SIGKILL);
    ASSERT_TRUE(ipctest::eventually([&] { return helper->remoteObjectProxyForService(service) == nullptr; }));
    tool->requestUpload("A", "/tmp");

    EXPECT_EQ(remoteZEPLines(service), (std::vector<std::string>{
                                           "Error making XPC connection to @: Cannot find a connection object for "
                                           "the service '@'.",
                                           "Error making proxy session to com.nerova.upload.zep.",
                                           "Connected to @.",
                                           "Error making XPC connection to @: Cannot find a connection for the "
                                           "service '@'.",
                                           "Error making proxy session to com.nerova.upload.zep.",
                                       }));
    EXPECT_FALSE(testsupport::exists(record()));
    helper->disconnectService(service);
}

// A name that comes after the limit is not taken, and does not land in the
// next request's answer.
TEST_F(RemoteZEPOperations, LateNameIsIgnored) {
    ASSERT_GT(startAgent({"--name=late", "--delay-ms=800"}), 0);
    // Both share the helper's connection; only the hasty one's limit is short.
    auto patient = session(10s);
    auto hasty = session(200ms);
    const std::string service = patient->serviceName();
    ASSERT_TRUE(patient->connectToAgent(service));
    EXPECT_EQ(hasty->requestArchiveName(service), std::nullopt);
    EXPECT_EQ(remoteZEPLines(service),
              (std::vector<std::string>{"Connected to @.", "Error XPC connection to @: timed out"}));

    // The late answer arrives during this request; this one's own answer is
    // the one it returns.
    EXPECT_EQ(patient->requestArchiveName(service), "late");
    EXPECT_EQ(remoteZEPLines(service).size(), 2u);
    helper->disconnectService(service);
}
