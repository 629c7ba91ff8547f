// The zero-trust network access section: a fixed sessions entry and one row
// per event the ZTNA client recorded, coloured by the event's status.
#include <array>
#include <chrono>
#include <cmath>
#include <map>
#include <string_view>

#include "collector/wellcheck/WCKDateFormatters.h"
#include "foundation/NRVValueJSON.h"
#include "collector/wellcheck/WCKSnapshotGenerator.h"
#include "collector/wellcheck/WCKState.h"

using namespace WCKSnapshotValues;

namespace ZTNAPlist {
constexpr std::array<std::string_view, 4> eventArrayKeys = {"Events", "ZTNAEvents", "WellcheckZTNAEvents",
                                                            "WCK_ZTNA_Events"};
constexpr std::array<std::string_view, 2> eventDateKeys = {"EventDate", "eventDate"};
}  // namespace ZTNAPlist

namespace {

bool isEventArrayKey(std::string_view key) {
    for (std::string_view k : ZTNAPlist::eventArrayKeys)
        if (k == key) return true;
    return false;
}

// Only dates a calendar can show count; a stored NaN or absurd value is no date.
std::optional<NRVDate> usableDate(NRVDate date) {
    return DateFormatters::dateFromUnixSeconds(date.timeIntervalSince1970());
}

NRVDate now() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return NRVDate::fromUnix(std::chrono::duration<double>(sinceEpoch).count());
}

std::string rowKey(const std::string& base, int count) {
    return count == 1 ? base : base + " (" + std::to_string(count) + ")";
}

}  // namespace

bool WCKSnapshotGenerator::isZTNAEnabledForSnapshot(const FeatureSet& features, Plist hbt) {
    return features.count("ZTNA") || plistBool(lookup(hbt, "HeartbeatZTNAEnabled")) == true;
}

NRVDictionary WCKSnapshotGenerator::buildZTNASection(Plist ztnaPlist) {
    NRVDictionary sessions;
    sessions.set("Reset all session information.", blueLeaf(""));
    NRVDictionary section;
    section.set("ZTNA Sessions", std::move(sessions));
    section.set("ZTNA Events", buildZTNAEventsSubsection(ztnaPlist));
    std::vector<std::string> states = {"green"};
    const auto below = collectStateValues(section);
    states.insert(states.end(), below.begin(), below.end());
    section.set("state", WCKState::maxState(states));
    return section;
}

std::vector<NRVDictionary> WCKSnapshotGenerator::collectZTNAEventDictionaries(const NRVDictionary& plist) {
    std::vector<NRVDictionary> events;
    for (std::string_view key : ZTNAPlist::eventArrayKeys) {
        const NRVValue* value = plist.find(key);
        const NRVArray* array = value ? value->asArray() : nullptr;
        if (!array) continue;
        for (const NRVValue& element : *array)
            if (const NRVDictionary* event = element.asDictionary()) events.push_back(*event);
    }
    if (!events.empty()) return events;

    for (std::size_t i = 0; i < plist.size(); ++i) {
        if (isEventArrayKey(plist.keyAt(i))) continue;
        const NRVArray* array = plist.valueAt(i).asArray();
        if (!array) continue;
        std::vector<NRVDictionary> candidates;
        for (const NRVValue& element : *array)
            if (const NRVDictionary* event = element.asDictionary()) candidates.push_back(*event);
        if (!candidates.empty() && intFromPlist(candidates.front().find("eventType"))) return candidates;
    }
    return {};
}

std::optional<NRVDictionary> WCKSnapshotGenerator::ztnaEventParameters(const NRVDictionary& event) {
    const NRVValue* parameters = event.find("eventParameters");
    if (!parameters) return std::nullopt;
    if (const NRVDictionary* dict = parameters->asDictionary()) return *dict;
    const std::string* json = parameters->asString();
    if (!json) return std::nullopt;
    // Malformed or too deeply nested text counts as no parameters.
    auto parsed = NRVValueJSON::parse(*json);
    if (!parsed || !parsed->asDictionary()) return std::nullopt;
    return std::move(*parsed->asDictionary());
}

std::string WCKSnapshotGenerator::ztnaEventDescription(std::int64_t type, const NRVDictionary* parameters) {
    const auto param = [&](std::string_view key) { return text(parameters, key); };
    const auto failedConnection = [&](const std::string& base) {
        const auto fqdn = param("fqdn");
        const auto reason = param("reason");
        return fqdn && reason ? base + " " + *fqdn + ", due to: " + *reason : base;
    };
    switch (type) {
    case 0: {
        const auto appName = param("appName");
        if (!appName) return "App access denied";
        if (const auto reason = param("reason")) return "Access to " + *appName + " denied due to: " + *reason;
        return "Access to " + *appName + " denied";
    }
    case 1:
        if (const auto upn = param("upn")) return "User " + *upn + " authenticated successfully";
        return "User authenticated successfully";
    case 2:
        if (const auto appName = param("appName")) return "DNS resolution for " + *appName + " unsuccessful on the server";
        return "DNS resolution unsuccessful on the server";
    case 3: {
        std::optional<std::string> blocked = param("appBlockedTime");
        // Only a whole number of seconds is shown; 30.5 must not read as 30,
        // nor a boolean as 1.
        const NRVValue* time = lookup(parameters, "appBlockedTime");
        if (!blocked && time && (time->isInteger() || (time->isReal() && std::trunc(*time->asReal()) == *time->asReal())))
            if (const auto seconds = intFromPlist(time)) blocked = std::to_string(*seconds);
        if (blocked) return "Access to application blocked for " + *blocked + " seconds. Try again later";
        return "Access to application blocked. Try again later";
    }
    case 4: return "Server returned a protocol error. Contact your administrator";
    case 5:
        return "Could not connect to the Nerova ZTNA gateway to access your app. Please try again. If the problem "
               "persists, contact IT";
    case 6:
        return "User Authentication failed. This is either because the user has closed the browser or an error "
               "occurred.";
    case 7: return failedConnection("Failed to create connection. Server certificate validation error");
    case 8: return failedConnection("Failed to create connection. Server not responding");
    case 9: return failedConnection("Failed to create connection. Server certificate not found");
    case 10: return failedConnection("Failed to create connection. Handshake error with server");
    case 11: return failedConnection("Failed to create connection. DNS resolution failed for server");
    case 12: return "ZTNA policy not found";
    case 13:
        if (const auto reason = param("reason")) return "Failed to apply ZTNA policy: " + *reason;
        return "Failed to apply ZTNA policy";
    case 14: return "ZTNA notification";
    default: return "ZTNA event (type " + std::to_string(type) + ")";
    }
}

std::optional<NRVDate> WCKSnapshotGenerator::dateFromZTNAEventDict(const NRVDictionary& event) {
    for (std::string_view key : ZTNAPlist::eventDateKeys) {
        const NRVValue* value = event.find(key);
        if (!value) continue;
        if (const NRVDate* date = value->asDate()) {
            if (auto usable = usableDate(*date)) return usable;
        } else if (value->isNumber()) {
            const double seconds = value->asInteger() ? static_cast<double>(*value->asInteger()) : *value->asReal();
            if (auto date = DateFormatters::dateFromUnixSeconds(seconds)) return date;
        } else if (const std::string* textValue = value->asString()) {
            auto date = DateFormatters::parseISO8601(*textValue);
            if (!date) date = DateFormatters::parseIsoInput(*textValue);
            if (date) {
                if (auto usable = usableDate(*date)) return usable;
            }
        }
    }
    return std::nullopt;
}

NRVDictionary WCKSnapshotGenerator::buildZTNAEventsSubsection(Plist ztnaPlist) {
    NRVDictionary rows;
    if (!ztnaPlist) return rows;
    std::map<std::string, int> counters;
    for (const NRVDictionary& event : collectZTNAEventDictionaries(*ztnaPlist)) {
        const auto type = intFromPlist(event.find("eventType"));
        if (!type) continue;
        const auto parameters = ztnaEventParameters(event);
        const std::string description = ztnaEventDescription(*type, parameters ? &*parameters : nullptr);
        const NRVDate date = dateFromZTNAEventDict(event).value_or(now());
        const std::string base = DateFormatters::mediumDateShortTime(date).value_or("") + " " + description;

        // A description can itself end in " (2)"; never let a generated key
        // overwrite a row that is already there.
        int& counter = counters[base];
        std::string key;
        do {
            key = rowKey(base, ++counter);
        } while (rows.contains(key));

        const auto status = intFromPlist(event.find("eventZTNAStatus"));
        rows.set(key, leaf(!status ? "blue" : *status == 0 ? "green" : "red", ""));
    }
    return rows;
}
