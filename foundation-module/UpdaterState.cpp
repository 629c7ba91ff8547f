#include "foundation-module/UpdaterState.h"

#include "foundation-module/DefaultDecoding.h"

namespace {

struct StateRow {
    UpdaterState state;
    std::string_view text;
    bool logsFailure;
    std::optional<UpdaterMessage> message;
};

constexpr StateRow kStates[] = {
    {UpdaterState::idle, "idle", false, std::nullopt},
    {UpdaterState::start, "start", false, std::nullopt},
    {UpdaterState::updateTriggered, "updateTriggered", false, std::nullopt},
    {UpdaterState::updatePostponed, "updatePostponed", false, std::nullopt},
    {UpdaterState::downloadConfig, "downloadConfig", true, UpdaterMessage::updateSourceMissing},
    {UpdaterState::downloadMetadata, "downloadMetadata", true, UpdaterMessage::downloadFailed},
    {UpdaterState::downloadPackages, "downloadPackages", true, UpdaterMessage::downloadFailed},
    {UpdaterState::extract, "extract", true, UpdaterMessage::downloadFailed},
    {UpdaterState::downloadComplete, "downloadComplete", true, std::nullopt},
    {UpdaterState::installLaunch, "installLaunch", true, UpdaterMessage::installFailed},
    {UpdaterState::installing, "installing", true, UpdaterMessage::installCaughtError},
    {UpdaterState::installComplete, "installComplete", false, std::nullopt},
    {UpdaterState::reportUpdateResult, "reportUpdateResult", true, std::nullopt},
};

const StateRow& row(UpdaterState state) { return kStates[static_cast<std::size_t>(state)]; }

enum class Inserts { none, error, packageAndError };

struct MessageRow {
    UpdaterMessage message;
    std::string_view text;
    bool appendsError;
    Inserts inserts;
};

constexpr MessageRow kMessages[] = {
    {UpdaterMessage::updatedSuccessfully, "Updated successfully", false, Inserts::none},
    {UpdaterMessage::installCaughtError, "Installation caught error: ", true, Inserts::error},
    {UpdaterMessage::updateCancelled, "Update Cancelled", false, Inserts::none},
    {UpdaterMessage::updateSourceMissing, "Update source missing", false, Inserts::none},
    {UpdaterMessage::installFailed, "Failed to install: ", true, Inserts::packageAndError},
    {UpdaterMessage::downloadFailed, "Download failed from server: ", true, Inserts::packageAndError},
};

const MessageRow& row(UpdaterMessage message) {
    for (const auto& r : kMessages)
        if (r.message == message) return r;
    return kMessages[0];
}

constexpr std::pair<UpdateOutcome, std::string_view> kOutcomes[] = {
    {UpdateOutcome::success, "success"}, {UpdateOutcome::failure, "failure"}, {UpdateOutcome::cancelled, "cancelled"}};

std::string directory(const std::string& base, std::string_view component) {
    return base + std::string(component) + "/";
}

}  // namespace

namespace UpdaterStateInfo {
std::optional<UpdaterState> fromRawValue(std::int64_t rawValue) {
    if (rawValue < 0 || rawValue > 12) return std::nullopt;
    return static_cast<UpdaterState>(rawValue);
}
std::string_view stringValue(UpdaterState state) { return row(state).text; }
bool shouldLogFailureState(UpdaterState state) { return row(state).logsFailure; }
}  // namespace UpdaterStateInfo

namespace UpdaterMessageInfo {
std::optional<UpdaterMessage> fromRawValue(std::int64_t rawValue) {
    for (const auto& r : kMessages)
        if (static_cast<std::int64_t>(r.message) == rawValue) return r.message;
    return std::nullopt;
}
std::optional<UpdaterMessage> getUpdaterMessageFromStage(UpdaterState stage) { return row(stage).message; }
std::string getMessageString(UpdaterMessage message, const std::optional<std::string>& withError) {
    const MessageRow& r = row(message);
    std::string text(r.text);
    if (r.appendsError && withError) text += *withError;
    return text;
}
}  // namespace UpdaterMessageInfo

namespace UpdateOutcomeInfo {
std::optional<UpdateOutcome> fromRawValue(std::string_view rawValue) {
    for (const auto& [outcome, text] : kOutcomes)
        if (text == rawValue) return outcome;
    return std::nullopt;
}
std::string_view rawValue(UpdateOutcome outcome) { return kOutcomes[static_cast<std::size_t>(outcome)].second; }
}  // namespace UpdateOutcomeInfo

std::string_view loggingDescription(UpdateTriggerSource source) {
    switch (source) {
        case UpdateTriggerSource::scheduled: return "Orbique";
        case UpdateTriggerSource::gui: return "GUI";
        case UpdateTriggerSource::commandLineTool: return "Command Line Tool";
    }
    return "";
}

std::optional<DownloadResults> downloadResultsFromRawValue(std::int64_t rawValue) {
    if (rawValue < 0 || rawValue > 2) return std::nullopt;
    return static_cast<DownloadResults>(rawValue);
}

std::optional<UpdateEventResults> updateEventResultsFromRawValue(std::uint64_t rawValue) {
    switch (rawValue) {
        case 0: case 1: case 6: case 8: case 12: return static_cast<UpdateEventResults>(rawValue);
        default: return std::nullopt;
    }
}

UpdaterResult::UpdaterResult(UpdateOutcome outcome, UpdaterMessage message, std::string updateSource,
                             std::optional<UpdaterState> errorState, std::optional<std::string> errorString,
                             NRVDate date, bool generateStatusUpdate)
    : outcome(outcome), message(message), date(date), updateSource(std::move(updateSource)),
      errorState(errorState), errorString(std::move(errorString)), generateStatusUpdate(generateStatusUpdate) {}

std::vector<std::optional<std::string>> UpdaterResult::getEventMessageInserts() const {
    switch (row(message).inserts) {
        case Inserts::none: return {};
        case Inserts::error: return {errorString};
        case Inserts::packageAndError: return {packageName, errorString};
    }
    return {};
}

nlohmann::json UpdaterResult::toJSON() const {
    nlohmann::json json = nlohmann::json::object();
    json["outcome"] = std::string(UpdateOutcomeInfo::rawValue(outcome));
    json["message"] = static_cast<std::int64_t>(message);
    json["date"] = date.sinceReferenceDate;
    json["updateSource"] = updateSource;
    if (errorState) json["errorState"] = static_cast<std::int64_t>(*errorState);
    if (errorString) json["errorString"] = *errorString;
    json["packageName"] = packageName;
    json["generateStatusUpdate"] = generateStatusUpdate;
    return json;
}

std::optional<UpdaterResult> UpdaterResult::fromJSON(const nlohmann::json& json) {
    using DefaultDecoding::decodeValue;
    if (!json.is_object()) return std::nullopt;
    auto member = [&](const char* key) -> const nlohmann::json* {
        auto it = json.find(key);
        return it == json.end() ? nullptr : &*it;
    };
    auto required = [&]<class T>(const char* key) -> std::optional<T> {
        const nlohmann::json* value = member(key);
        return value ? decodeValue<T>(*value) : std::nullopt;
    };
    auto outcomeText = required.operator()<std::string>("outcome");
    auto messageCode = required.operator()<std::int64_t>("message");
    auto dateValue = required.operator()<double>("date");
    auto source = required.operator()<std::string>("updateSource");
    auto package = required.operator()<std::string>("packageName");
    auto generate = required.operator()<bool>("generateStatusUpdate");
    if (!outcomeText || !messageCode || !dateValue || !source || !package || !generate) return std::nullopt;
    auto outcome = UpdateOutcomeInfo::fromRawValue(*outcomeText);
    auto message = UpdaterMessageInfo::fromRawValue(*messageCode);
    if (!outcome || !message) return std::nullopt;

    // Optional keys: absent or null reads as nil; present with a wrong value
    // refuses the record, as a strict decoder does.
    std::optional<UpdaterState> errorState;
    if (const nlohmann::json* value = member("errorState"); value && !value->is_null()) {
        auto code = decodeValue<std::int64_t>(*value);
        errorState = code ? UpdaterStateInfo::fromRawValue(*code) : std::nullopt;
        if (!errorState) return std::nullopt;
    }
    std::optional<std::string> errorString;
    if (const nlohmann::json* value = member("errorString"); value && !value->is_null()) {
        errorString = decodeValue<std::string>(*value);
        if (!errorString) return std::nullopt;
    }
    UpdaterResult result(*outcome, *message, *source, errorState, errorString, NRVDate{*dateValue}, *generate);
    result.packageName = *package;
    return result;
}

void UpdaterResult::ObjcWrapper::encode(NRVDictionary& coder) const {
    const std::string text = result.toJSON().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    coder.set("status", NRVData(text.begin(), text.end()));
}

std::optional<UpdaterResult::ObjcWrapper> UpdaterResult::ObjcWrapper::initWithCoder(const NRVDictionary& coder) {
    const NRVValue* value = coder.find("status");
    const NRVData* data = value ? value->asData() : nullptr;
    if (!data) return std::nullopt;
    auto json = nlohmann::json::parse(data->begin(), data->end(), nullptr, false);
    if (json.is_discarded()) return std::nullopt;
    auto result = UpdaterResult::fromJSON(json);
    if (!result) return std::nullopt;
    return ObjcWrapper(std::move(*result));
}

namespace VQKT3Constants {
const std::string& plwDir() {
    static const std::string path = "/Library/Caches/com.nerova.plw/";
    return path;
}
const std::string& repoDir() {
    static const std::string path = directory(plwDir(), "warehouse");
    return path;
}
const std::string& cidDir() {
    static const std::string path = directory(plwDir(), "CID");
    return path;
}
const std::string& installerUnbundled() {
    static const std::string path = directory(cidDir(), "Nerova Installer");
    return path;
}
const std::string& installerBundleInCID() {
    static const std::string path = directory(cidDir(), "Nerova Installer.bundle");
    return path;
}
const std::string& pellamoorInBundle() {
    static const std::string path = installerBundleInCID() + "Contents/MacOS/tools/Pellamoor";
    return path;
}
}  // namespace VQKT3Constants
