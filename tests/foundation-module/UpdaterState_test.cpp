#include "foundation-module/UpdaterState.h"

#include <gtest/gtest.h>

namespace {

TEST(UpdaterStateTest, StatesTable) {
    struct Case {
        std::int64_t raw;
        const char* text;
        bool logs;
        std::optional<UpdaterMessage> message;
    } cases[] = {
        {0, "idle", false, std::nullopt},
        {3, "updatePostponed", false, std::nullopt},
        {4, "downloadConfig", true, UpdaterMessage::updateSourceMissing},
        {7, "extract", true, UpdaterMessage::downloadFailed},
        {8, "downloadComplete", true, std::nullopt},
        {9, "installLaunch", true, UpdaterMessage::installFailed},
        {10, "installing", true, UpdaterMessage::installCaughtError},
        {11, "installComplete", false, std::nullopt},
        {12, "reportUpdateResult", true, std::nullopt},
    };
    for (const auto& c : cases) {
        auto state = UpdaterStateInfo::fromRawValue(c.raw);
        ASSERT_TRUE(state) << c.raw;
        EXPECT_EQ(UpdaterStateInfo::stringValue(*state), c.text);
        EXPECT_EQ(UpdaterStateInfo::shouldLogFailureState(*state), c.logs) << c.text;
        EXPECT_EQ(UpdaterMessageInfo::getUpdaterMessageFromStage(*state), c.message) << c.text;
    }
    EXPECT_EQ(UpdaterStateInfo::fromRawValue(13), std::nullopt);
    EXPECT_EQ(UpdaterStateInfo::fromRawValue(-1), std::nullopt);
}

TEST(UpdaterStateTest, MessagesAndRawValues) {
    EXPECT_EQ(UpdaterMessageInfo::fromRawValue(0), UpdaterMessage::updatedSuccessfully);
    for (std::int64_t missing : {104, 105, 109, 1})
        EXPECT_EQ(UpdaterMessageInfo::fromRawValue(missing), std::nullopt) << missing;
    EXPECT_EQ(UpdaterMessageInfo::getMessageString(UpdaterMessage::installFailed, std::nullopt), "Failed to install: ");
    EXPECT_EQ(UpdaterMessageInfo::getMessageString(UpdaterMessage::downloadFailed, "404"),
              "Download failed from server: 404");
    EXPECT_EQ(UpdaterMessageInfo::getMessageString(UpdaterMessage::updateCancelled, "ignored"), "Update Cancelled");
    EXPECT_EQ(UpdateOutcomeInfo::fromRawValue("Success"), std::nullopt);
    EXPECT_EQ(UpdateOutcomeInfo::fromRawValue("cancelled"), UpdateOutcome::cancelled);
    EXPECT_EQ(loggingDescription(UpdateTriggerSource::commandLineTool), "Command Line Tool");
    EXPECT_EQ(updateEventResultsFromRawValue(12), UpdateEventResults::installError);
    EXPECT_EQ(updateEventResultsFromRawValue(2), std::nullopt);
    EXPECT_EQ(downloadResultsFromRawValue(3), std::nullopt);
    EXPECT_EQ(VQKT3Constants::pellamoorInBundle(),
              "/Library/Caches/com.nerova.plw/CID/Nerova Installer.bundle/Contents/MacOS/tools/Pellamoor");
}

TEST(UpdaterStateTest, ResultInsertsAndCoding) {
    UpdaterResult failed(UpdateOutcome::failure, UpdaterMessage::installFailed, "server", UpdaterState::installLaunch,
                         "disk full", NRVDate{1000.5}, true);
    EXPECT_EQ(failed.packageName, "RivOvovuvev");
    EXPECT_EQ(failed.getEventMessageInserts(), (std::vector<std::optional<std::string>>{"RivOvovuvev", "disk full"}));

    UpdaterResult ok(UpdateOutcome::success, UpdaterMessage::updatedSuccessfully, "s", std::nullopt, std::nullopt,
                     NRVDate{0}, false);
    const auto json = ok.toJSON();
    EXPECT_FALSE(json.contains("errorState"));
    EXPECT_FALSE(json.contains("errorString"));
    EXPECT_EQ(json["outcome"], "success");

    for (const UpdaterResult& r : {failed, ok}) {
        NRVDictionary coder;
        UpdaterResult::ObjcWrapper(r).encode(coder);
        auto back = UpdaterResult::ObjcWrapper::initWithCoder(coder);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->result, r);
    }
}

TEST(UpdaterStateTest, DecodingRefusesWrongTypes) {
    const nlohmann::json good = UpdaterResult(UpdateOutcome::failure, UpdaterMessage::downloadFailed, "s",
                                              UpdaterState::extract, "e", NRVDate{1}, false)
                                    .toJSON();
    ASSERT_TRUE(UpdaterResult::fromJSON(good));
    for (const auto& [key, value] : good.items()) {
        nlohmann::json bad = good;
        const bool textual = key == "updateSource" || key == "errorString" || key == "packageName" || key == "outcome";
        bad[key] = textual ? nlohmann::json(5) : nlohmann::json("x");
        EXPECT_FALSE(UpdaterResult::fromJSON(bad)) << key;
    }
    nlohmann::json badCode = good;
    badCode["message"] = 105;
    EXPECT_FALSE(UpdaterResult::fromJSON(badCode));

    NRVDictionary notData;
    notData.set("status", "text");
    EXPECT_FALSE(UpdaterResult::ObjcWrapper::initWithCoder(notData));
    EXPECT_FALSE(UpdaterResult::ObjcWrapper::initWithCoder(NRVDictionary{}));
}

}  // namespace
