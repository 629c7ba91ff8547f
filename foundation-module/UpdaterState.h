// The updater's states, result messages and outcome record, with their raw
// values, texts and coded forms, and the names of its services and folders.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/value/NRVValue.h"

enum class UpdaterState : std::int64_t {
    idle = 0,
    start = 1,
    updateTriggered = 2,
    updatePostponed = 3,
    downloadConfig = 4,
    downloadMetadata = 5,
    downloadPackages = 6,
    extract = 7,
    downloadComplete = 8,
    installLaunch = 9,
    installing = 10,
    installComplete = 11,
    reportUpdateResult = 12,
};

enum class UpdaterMessage : std::int64_t {
    updatedSuccessfully = 0,
    installCaughtError = 106,
    updateCancelled = 108,
    updateSourceMissing = 110,
    installFailed = 103,
    downloadFailed = 107,
};

enum class UpdateOutcome { success, failure, cancelled };

enum class UpdateTriggerSource : std::int64_t { scheduled = 0, gui = 1, commandLineTool = 2 };
enum class DownloadResults : std::int64_t { succeeded = 0, failed = 1, cancelled = 2 };
enum class UpdateEventResults : std::uint64_t {
    success = 0,
    failure = 1,
    cancelled = 6,
    sourceMissing = 8,
    installError = 12,
};

namespace UpdaterStateInfo {
std::optional<UpdaterState> fromRawValue(std::int64_t rawValue);
std::string_view stringValue(UpdaterState state);
bool shouldLogFailureState(UpdaterState state);
}  // namespace UpdaterStateInfo

namespace UpdaterMessageInfo {
// The cases in declaration order.
inline constexpr std::array<UpdaterMessage, 6> allCases = {
    UpdaterMessage::updatedSuccessfully, UpdaterMessage::installCaughtError, UpdaterMessage::updateCancelled,
    UpdaterMessage::updateSourceMissing, UpdaterMessage::installFailed,      UpdaterMessage::downloadFailed,
};
std::optional<UpdaterMessage> fromRawValue(std::int64_t rawValue);
std::optional<UpdaterMessage> getUpdaterMessageFromStage(UpdaterState stage);
// The message text; the cases that carry an error append it (nothing for nil).
std::string getMessageString(UpdaterMessage message, const std::optional<std::string>& withError);
}  // namespace UpdaterMessageInfo

namespace UpdateOutcomeInfo {
std::optional<UpdateOutcome> fromRawValue(std::string_view rawValue);  // exact, lower case
std::string_view rawValue(UpdateOutcome outcome);
}  // namespace UpdateOutcomeInfo

std::string_view loggingDescription(UpdateTriggerSource source);
std::optional<DownloadResults> downloadResultsFromRawValue(std::int64_t rawValue);
std::optional<UpdateEventResults> updateEventResultsFromRawValue(std::uint64_t rawValue);

struct UpdaterResult {
    UpdateOutcome outcome = UpdateOutcome::success;
    UpdaterMessage message = UpdaterMessage::updatedSuccessfully;
    NRVDate date;
    std::string updateSource;
    std::optional<UpdaterState> errorState;
    std::optional<std::string> errorString;
    std::string packageName = "RivOvovuvev";
    bool generateStatusUpdate = false;

    UpdaterResult(UpdateOutcome outcome, UpdaterMessage message, std::string updateSource,
                  std::optional<UpdaterState> errorState, std::optional<std::string> errorString, NRVDate date,
                  bool generateStatusUpdate);

    // By the message: none; the error text; or the package name then the error text.
    std::vector<std::optional<std::string>> getEventMessageInserts() const;

    // The keyed JSON form. "errorState" and "errorString" are left out when
    // nil; the date is seconds since 2001-01-01 as a number. Decoding refuses
    // a missing required key or a value of the wrong type.
    nlohmann::json toJSON() const;
    static std::optional<UpdaterResult> fromJSON(const nlohmann::json& json);

    bool operator==(const UpdaterResult&) const = default;

    class ObjcWrapper;
};

// The archiving wrapper: the result's JSON as data under "status".
class UpdaterResult::ObjcWrapper {
public:
    static constexpr const char* kClassName = "UpdaterResultWrapper";
    static constexpr bool supportsSecureCoding = true;
    explicit ObjcWrapper(UpdaterResult result) : result(std::move(result)) {}
    void encode(NRVDictionary& coder) const;
    // nullopt when the entry is missing, not data, or not a result.
    static std::optional<ObjcWrapper> initWithCoder(const NRVDictionary& coder);
    UpdaterResult result;
};

struct UpdaterConstants {
    static constexpr const char* updaterServiceName = "com.nerova.updater";
    static constexpr const char* updateCompleteXPCServiceName = "com.nerova.updater.updatecomplete";
};

namespace VQKT3Constants {
inline constexpr const char* defaultProduct = "dudaz";
inline constexpr const char* defaultPlatform = "MACOS-LATEST";
inline constexpr const char* rivOvovuvevSubscriptionId = "RivOvovuvev";
inline constexpr const char* recommendedTag = "RECOMMENDED";
// Folders as file paths with their trailing "/".
const std::string& plwDir();
const std::string& repoDir();
const std::string& cidDir();
const std::string& installerUnbundled();
const std::string& installerBundleInCID();
const std::string& pellamoorInBundle();
}  // namespace VQKT3Constants
