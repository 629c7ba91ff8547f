#include "net/broker/NRVTelemetryBroker.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "net/BrokerTestSupport.h"
#include "foundation/NRVDateFormatter.h"
#include "support/ChildProcess.h"

using namespace std::chrono_literals;
using brokertest::Environment;

namespace {

NRVDictionary document() {
    NRVDictionary d;
    d.set(kNRVTelemetryMachineId, "M-1");
    d.set("count", 3);
    return d;
}

std::optional<std::string> send(NRVTelemetryBroker& broker, const std::optional<NRVDictionary>& data,
                                const std::string& type = "heartbeat") {
    std::optional<std::string> result = "<no reply>";
    int calls = 0;
    broker.sendTelemetry(data, type, [&](const std::optional<std::string>& text) {
        result = text;
        ++calls;
    });
    EXPECT_EQ(calls, 1);
    return result;
}

nlohmann::json uploads(const testsupport::LocalServers& servers) {
    auto result = testsupport::runProgram({"/usr/bin/curl", "-s", "--", servers.httpURL("/uploads")});
    return nlohmann::json::parse(result.out.empty() ? "[]" : result.out);
}

}  // namespace

TEST(NRVTelemetryBroker, UploadURLIsDatedInUTC) {
    auto date = NRVDateFormatter("yyyy-MM-dd HH:mm", "en_US_POSIX", NRVDateFormatter::Zone::UTC)
                    .dateFromString("2024-03-05 07:59");
    ASSERT_TRUE(date);
    EXPECT_EQ(NRVTelemetryBroker::uploadURL("https://t.example/base", *date, "0a1b"),
              "https://t.example/base/2024/03/05/07/0a1b.json");
}

// Documents and servers refused before any byte goes out.
TEST(NRVTelemetryBroker, BadInputIsRefusedWithItsText) {
    brokertest::TestHandler handler;
    NRVTelemetryBroker noServer("", handler);
    EXPECT_EQ(send(noServer, document()), "No telemetry server address specified. Telemetry disabled.");
    NRVTelemetryBroker broker("http://127.0.0.1:9", handler);
    NRVDictionary withDate = document();
    withDate.set("when", NRVDate{0});
    NRVDictionary withData = document();
    withData.set("blob", NRVData{1, 2});
    struct Case {
        const char* name;
        std::optional<NRVDictionary> data;
    } cases[] = {{"nil", std::nullopt}, {"empty", NRVDictionary{}}, {"date", withDate}, {"data", withData}};
    for (const Case& c : cases) EXPECT_EQ(send(broker, c.data), "The given data object is invalid") << c.name;
}

// The document reaches the server by PUT under its dated path with the
// object-store headers, and the result is announced to other processes.
TEST(NRVTelemetryBroker, UploadReachesTheServerAndIsAnnounced) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    testsupport::ChildProcess observer({std::string(NRV_BIN_DIR) + "/nrv-notify-observer",
                                        std::string("--name=") + kNRVTelemetryBrokerSendDataNotification},
                                       {{"NRV_RUNTIME_ROOT", environment.root()}});
    ASSERT_TRUE(observer.waitForLine("READY", 30s));

    brokertest::TestHandler handler;
    NRVTelemetryBroker broker(servers->httpsURL("/tele"), handler);
    EXPECT_EQ(send(broker, document()), std::nullopt);

    auto line = observer.readLine(30s);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, std::string(kNRVTelemetryBrokerSendDataNotification) + "|-|" + kNRVTelemetryBrokerSendDataResult +
                         "='heartbeat' telemetry was successfully uploaded to " + servers->httpsURL("/tele") +
                         " (status code: 200).");

    auto list = uploads(*servers);
    ASSERT_FALSE(list.empty());
    const auto& upload = list.back();
    EXPECT_TRUE(std::regex_match(upload["path"].get<std::string>(),
                                 std::regex(R"(/tele/\d{4}/\d{2}/\d{2}/\d{2}/[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}\.json)")))
        << upload["path"];
    EXPECT_EQ(upload["headers"]["Content-Type"], "application/json");
    EXPECT_EQ(upload["headers"]["Accept"], "application/vnd.error+json,application/json");
    EXPECT_EQ(upload["headers"]["x-amz-acl"], "bucket-owner-full-control");
    auto body = nlohmann::json::parse(upload["body"].get<std::string>());
    EXPECT_EQ(body["machineId"], "M-1");
    EXPECT_EQ(body["telemetry-type"], "heartbeat");
    EXPECT_TRUE(std::regex_match(body["datetime"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6})")))
        << body["datetime"];
}

// A refusal, a success status whose answer broke off, and a server whose
// certificate is not trusted all reply their failure; none counts as success.
TEST(NRVTelemetryBroker, FailuresAreReported) {
    NRV_REQUIRE_LOCAL_SERVERS(servers);
    Environment environment(*servers);
    brokertest::TestHandler handler;

    NRVTelemetryBroker forbidden(servers->httpsURL("/reply/403"), handler);
    EXPECT_EQ(send(forbidden, document(), "crash"), "Failed to upload the 'crash' telemetry (status code: 403); error: (null)");

    NRVTelemetryBroker cut(servers->httpsURL("/cut"), handler);
    auto cutReply = send(cut, document(), "crash");
    ASSERT_TRUE(cutReply);
    EXPECT_EQ(cutReply->rfind("Failed to upload the 'crash' telemetry (status code: 200); error: Error Domain=NSURLErrorDomain Code=-1005", 0), 0u)
        << *cutReply;

    std::vector<std::string> refusals;
    std::mutex mutex;
    NRVTelemetryBroker::addLocalObserver(&refusals, [&](const NRVTelemetryBroker*, const NRVDictionary& info) {
        std::lock_guard<std::mutex> lock(mutex);
        refusals.push_back(*info.find(kNRVTelemetryBrokerSendDataResult)->asString());
    });
    NRVTelemetryBroker untrusted(servers->untrustedURL("/tele"), handler);
    auto refused = send(untrusted, document());
    NRVTelemetryBroker::removeLocalObserver(&refusals);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->rfind("Failed to upload the 'heartbeat' telemetry (status code: 0); error: Error Domain=NSURLErrorDomain Code=-1202", 0), 0u)
        << *refused;
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_FALSE(refusals.empty());
    EXPECT_EQ(refusals[0], "Connection did cancel authentication challenge");
}
