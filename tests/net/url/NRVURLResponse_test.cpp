#include "net/url/NRVURLResponse.h"

#include <gtest/gtest.h>

#include "foundation/NRVProductInfo.h"

namespace {

NRVDictionary details(const char* usage, int type, const char* host = nullptr) {
    NRVDictionary d;
    d.set("proxyUsageDescription", usage);
    d.set("brokerConfigType", type);
    if (host) {
        NRVDictionary custom;
        custom.set("proxyHost", host);
        custom.set("proxyPort", 3128);
        d.set("customProxyDetails", custom);
    }
    return d;
}

NRVHTTPURLResponseRef http(std::int64_t status) {
    NRVDictionary headers;
    headers.set("Content-Type", "text/plain");
    return std::make_shared<NRVHTTPURLResponse>("https://127.0.0.1/x", status, headers);
}

NRVErrorRef error(std::int64_t code, const char* text) {
    return std::make_shared<NRVError>("NSURLErrorDomain", code, text);
}

class URLResponseTest : public ::testing::Test {
protected:
    void SetUp() override { NRVProductInfo::resetIsNerovaHomeTo(false); }
    void TearDown() override { NRVProductInfo::resetIsNerovaHomeTo(std::nullopt); }
};

TEST_F(URLResponseTest, OneEntryPerAttemptInOrder) {
    NRVURLResponse r;
    EXPECT_FALSE(r.finalResponse());
    r.addResultWithProxy(details("Message relay 127.0.0.1:1", 4, "127.0.0.1"), nullptr, nullptr,
                         error(-1004, "Could not connect to the server."));
    r.addResultWithProxy(details("Custom proxy 127.0.0.1:3128", 2, "127.0.0.1"), http(407), nullptr, nullptr);
    NRVData body{'o', 'k'};
    r.addResultWithProxy(details("Direct", 3), http(200), &body, "/tmp/file", nullptr);

    struct Row {
        std::int64_t status;
        const char* statusDescription;
        std::int64_t success;
        bool hasError, hasResponse, hasCustom;
    };
    const Row rows[] = {
        {0, "informational", 0, true, false, true},
        {407, "proxy authentication required", 0, false, true, true},
        {200, "no error", 1, false, true, false},
    };
    std::vector<NRVURLSessionResult> all = r.resultOfSessions();
    ASSERT_EQ(all.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(all[i].statusCode, rows[i].status) << i;
        EXPECT_EQ(all[i].statusDescription, rows[i].statusDescription) << i;
        EXPECT_EQ(all[i].httpStatusSuccess, rows[i].success) << i;
        EXPECT_EQ(all[i].error != nullptr, rows[i].hasError) << i;
        EXPECT_EQ(all[i].responses != nullptr, rows[i].hasResponse) << i;
        EXPECT_EQ(r.headers()[i].isNull(), !rows[i].hasResponse) << i;
        EXPECT_EQ(all[i].customProxyDetails.isDictionary(), rows[i].hasCustom) << i;
        EXPECT_FALSE(all[i].httpHeaders) << "no headers outside the home edition";
        EXPECT_FALSE(all[i].dictionary().contains("httpHeaders"));
    }
    EXPECT_EQ(r.finalResponse()->proxyUsageDescription, "Direct");
    EXPECT_EQ(r.finalResponse()->httpStatusSuccess, 1);
    EXPECT_EQ(r.finalResponse()->downloadedFileLocation, "/tmp/file");

    EXPECT_EQ(r.compactDescription(),
              "[{brokerConfigType : 4, proxyUsageDescription : Message relay 127.0.0.1:1, statusDescription : "
              "informational, statusCode : 0, error : Error Domain=NSURLErrorDomain Code=-1004 \"Could not connect "
              "to the server.\"}, {brokerConfigType : 2, proxyUsageDescription : Custom proxy 127.0.0.1:3128, "
              "statusDescription : proxy authentication required, statusCode : 407, error : <null>}, "
              "{brokerConfigType : 3, proxyUsageDescription : Direct, statusDescription : no error, statusCode : "
              "200, error : <null>}]");
    NRVDictionary first = all[0].dictionary();
    EXPECT_EQ(first.keys(), (std::vector<std::string>{"proxyUsageDescription", "brokerConfigType",
                                                      "customProxyDetails", "statusDescription", "statusCode",
                                                      "error", "httpStatusSuccess", "responses",
                                                      "downloadedFileLocation"}));
    EXPECT_TRUE(first.find("responses")->isNull());
    EXPECT_TRUE(first.find("downloadedFileLocation")->isNull());
}

TEST_F(URLResponseTest, AnErrorFailsA200AndHomeEditionAddsHeaders) {
    NRVURLResponse r;
    r.addResultWithProxy(details("Direct", 3), http(200), nullptr, error(-999, "cancelled"));
    EXPECT_EQ(r.finalResponse()->statusCode, 200);
    EXPECT_EQ(r.finalResponse()->httpStatusSuccess, 0);

    // An empty custom-details dictionary is recorded as the null marker.
    NRVDictionary emptyCustom = details("System proxy", 0);
    emptyCustom.set("customProxyDetails", NRVDictionary{});
    r.addResultWithProxy(emptyCustom, nullptr, nullptr, nullptr);
    EXPECT_TRUE(r.customProxyDetails()[1].isNull());

    NRVProductInfo::resetIsNerovaHomeTo(true);
    std::vector<NRVURLSessionResult> all = r.resultOfSessions();
    ASSERT_TRUE(all[0].httpHeaders);
    EXPECT_EQ(*(*all[0].httpHeaders)["Content-Type"], NRVValue("text/plain"));
    ASSERT_TRUE(all[1].httpHeaders);
    EXPECT_TRUE(all[1].httpHeaders->isNull());
    EXPECT_TRUE(all[1].dictionary().contains("httpHeaders"));
}

TEST(NRVHTTPURLResponse, StatusTextsAndHeaderLookup) {
    struct Row {
        std::int64_t code;
        const char* text;
    };
    const Row rows[] = {{200, "no error"}, {404, "not found"},    {407, "proxy authentication required"},
                        {299, "success"},  {399, "redirected"},  {418, "client error"},
                        {599, "server error"}, {0, "informational"}};
    for (const auto& row : rows) EXPECT_EQ(NRVHTTPURLResponse::localizedStringForStatusCode(row.code), row.text);
    auto response = http(200);
    ASSERT_TRUE(response->valueForHTTPHeaderField("content-TYPE"));
    EXPECT_EQ(*response->valueForHTTPHeaderField("content-TYPE"), "text/plain");
    EXPECT_FALSE(response->valueForHTTPHeaderField("Content-Length"));
}

}  // namespace
