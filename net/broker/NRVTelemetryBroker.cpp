#include "net/broker/NRVTelemetryBroker.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "foundation/NRVDateFormatter.h"
#include "foundation/NRVDispatchExtensions.h"
#include "foundation/NerovaLogger.h"
#include "ipc/notify/NRVDistributedNotificationCenter.h"
#include "ipc/xpc/NRVUUID.h"
#include "net/url/NRVLogRedaction.h"
#include "platform/memory/NoDestructor.h"

const char* const kNRVTelemetryDateTime = "datetime";
const char* const kNRVTelemetryTelemetryType = "telemetry-type";
const char* const kNRVTelemetrySystemVersion = "systemVersion";
const char* const kNRVTelemetryCustomerId = "customerId";
const char* const kNRVTelemetryMachineId = "machineId";
const char* const kNRVTelemetryTenantId = "tenantId";
const char* const kNRVTelemetrySerialNumber = "serialNumber";
const char* const kNRVTelemetryProductVersion = "productVersion";
const char* const kNRVTelemetryBrokerSendDataNotification = "com.nerova.telemetrybroker.sent.data";
const char* const kNRVTelemetryBrokerSendDataResult = "TelemetryBrokerSendDataResult";

namespace {

constexpr const char* kInvalidData = "The given data object is invalid";
constexpr const char* kChallengeCancelled = "Connection did cancel authentication challenge";
constexpr int kMaxDepth = 64;

const NRVLogHandle& log() { return NerovaLogger::telemetry(); }

std::mutex& observersMutex() {
    static std::mutex mutex;
    return mutex;
}
std::map<const void*, NRVTelemetryBroker::LocalObserver>& observers() {
    static platform::NoDestructor<std::map<const void*, NRVTelemetryBroker::LocalObserver>> table;
    return *table;
}

// The document as compact JSON; nullopt for values JSON cannot hold.
std::optional<nlohmann::ordered_json> toJSON(const NRVValue& value, int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    switch (value.type()) {
    case NRVValue::Type::Null: return nlohmann::ordered_json(nullptr);
    case NRVValue::Type::Bool: return nlohmann::ordered_json(*value.asBool());
    case NRVValue::Type::Integer: return nlohmann::ordered_json(*value.asInteger());
    case NRVValue::Type::Real:
        if (!std::isfinite(*value.asReal())) return std::nullopt;
        return nlohmann::ordered_json(*value.asReal());
    case NRVValue::Type::String: return nlohmann::ordered_json(*value.asString());
    case NRVValue::Type::Array: {
        auto array = nlohmann::ordered_json::array();
        for (const auto& item : *value.asArray()) {
            auto converted = toJSON(item, depth + 1);
            if (!converted) return std::nullopt;
            array.push_back(std::move(*converted));
        }
        return array;
    }
    case NRVValue::Type::Dictionary: {
        auto object = nlohmann::ordered_json::object();
        const NRVDictionary& d = *value.asDictionary();
        for (std::size_t i = 0; i < d.size(); ++i) {
            auto converted = toJSON(d.valueAt(i), depth + 1);
            if (!converted) return std::nullopt;
            object[d.keyAt(i)] = std::move(*converted);
        }
        return object;
    }
    case NRVValue::Type::Data:
    case NRVValue::Type::Date: break;
    }
    return std::nullopt;
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

NRVDate now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return NRVDate::fromUnix(std::chrono::duration<double>(since).count());
}

std::string errorDescription(const NRVErrorRef& error) {
    return error ? NRVURLResponse::errorDescription(*error) : "(null)";
}

}  // namespace

NRVTelemetryBroker::NRVTelemetryBroker(const std::string& domain)
    : NRVTelemetryBroker(domain, NRVURLBroker::sharedHandler()) {}

NRVTelemetryBroker::NRVTelemetryBroker(const std::string& domain, std::shared_ptr<NRVURLSessionHandler> handler)
    : serverAuthenticator_(std::make_shared<NRVServerAuthenticator>()),
      urlBroker_(std::make_unique<NRVURLBroker>(std::move(handler))),
      telemetryURL_(domain) {
    // The challenge handler may outlive this object by a moment (the broker's
    // container goes asynchronously), so it holds what it needs, not `this`.
    owner_ = std::make_shared<std::atomic<const NRVTelemetryBroker*>>(this);
    auto authenticator = serverAuthenticator_;
    auto owner = owner_;
    urlBroker_->startWithAuthHandler(
        [authenticator, owner](const NRVURLAuthenticationChallenge& challenge, const NRVURLRequest*) {
            auto answer = answerChallenge(*authenticator, owner->load(), challenge);
            return answer ? *answer : NRVURLAuthenticationAnswer::cancel();
        });
}

NRVTelemetryBroker::~NRVTelemetryBroker() {
    owner_->store(nullptr);
    urlBroker_->stop();
}

std::optional<NRVURLAuthenticationAnswer> NRVTelemetryBroker::answerChallenge(
    NRVServerAuthenticator& authenticator, const NRVTelemetryBroker* broker,
    const NRVURLAuthenticationChallenge& challenge) {
    if (auto credential = authenticator.verifyServerAuthenticationForChallenge(challenge)) {
        return NRVURLAuthenticationAnswer::useCredential(*credential);
    }
    log().error(kChallengeCancelled);
    NRVDictionary userInfo;
    userInfo.set(kNRVTelemetryBrokerSendDataResult, kChallengeCancelled);
    std::vector<LocalObserver> targets;
    {
        std::lock_guard<std::mutex> lock(observersMutex());
        for (const auto& [key, observer] : observers()) targets.push_back(observer);
    }
    for (const auto& observer : targets) observer(broker, userInfo);
    return std::nullopt;
}

void NRVTelemetryBroker::addLocalObserver(const void* key, LocalObserver observer) {
    std::lock_guard<std::mutex> lock(observersMutex());
    observers()[key] = std::move(observer);
}

void NRVTelemetryBroker::removeLocalObserver(const void* key) {
    std::lock_guard<std::mutex> lock(observersMutex());
    observers().erase(key);
}

std::string NRVTelemetryBroker::uploadURL(const std::string& base, NRVDate date, const std::string& lowerCaseUUID) {
    const std::time_t seconds = static_cast<std::time_t>(std::floor(date.timeIntervalSince1970()));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char path[64];
    std::snprintf(path, sizeof path, "/%04d/%02d/%02d/%02d/", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour);
    return base + path + lowerCaseUUID + ".json";
}

void NRVTelemetryBroker::sendTelemetry(const std::optional<NRVDictionary>& data, const std::string& type,
                                       const Reply& reply) {
    auto answer = [&reply](const std::optional<std::string>& text) {
        if (reply) reply(text);
    };
    if (telemetryURL_.empty()) {
        answer("No telemetry server address specified. Telemetry disabled.");
        return;
    }
    if (!data || data->empty()) {
        log().error(kInvalidData);
        answer(kInvalidData);
        return;
    }
    const NRVDate uploadTime = now();
    NRVDictionary document = *data;
    document.set(kNRVTelemetryTelemetryType, type);
    document.set(kNRVTelemetryDateTime,
                 NRVDateFormatter("yyyy-MM-dd'T'HH:mm:ss.SSSSSS", "en_US_POSIX", NRVDateFormatter::Zone::UTC)
                     .stringFromDate(uploadTime));
    auto json = toJSON(NRVValue(document), 0);
    if (!json) {
        log().error(kInvalidData);
        answer(kInvalidData);
        return;
    }
    std::string body;
    try {
        body = json->dump();
    } catch (const nlohmann::json::exception& e) {
        // Strings that are not UTF-8 cannot be written as JSON.
        log().error(kInvalidData);
        answer(std::string(e.what()));
        return;
    }

    NRVURLRequest request(uploadURL(telemetryURL_, uploadTime, lowerCase(NRVUUIDString())));
    request.HTTPMethod = "PUT";
    request.cachePolicy = NRVURLRequest::kReloadIgnoringLocalCacheData;
    request.timeoutInterval = 60;
    request.setValueForHTTPHeaderField("application/json", "Content-Type");
    request.setValueForHTTPHeaderField("application/vnd.error+json,application/json", "Accept");
    request.setValueForHTTPHeaderField("bucket-owner-full-control", "x-amz-acl");
    log().log("Send " + std::to_string(body.size()) + " bytes of data: " + NRVLogRedaction::redactedURL(request.URL));

    auto group = platform::dispatch::DispatchGroup::create();
    dispatch_group_safe_enter(group);
    const std::string base = telemetryURL_;
    urlBroker_->uploadWithRequest(
        request, NRVData(body.begin(), body.end()),
        [group, base, type, &answer](std::shared_ptr<NRVURLResponse> response, std::optional<NRVData>) {
            auto final = response->finalResponse();
            NRVErrorRef error = final ? final->error : nullptr;
            const std::string proxy = final ? final->proxyUsageDescription : "(null)";
            const std::int64_t status = final ? final->statusCode : 0;
            const bool succeeded = final && final->httpStatusSuccess == 1;
            if (!succeeded) {
                log().error("Unable to connect to " + base + " server through proxy: " + proxy +
                            "; error: " + errorDescription(error));
            }
            log().log("Proxy Usage description: " + response->compactDescription());
            std::string result;
            std::optional<std::string> replyText;
            // A 2xx status that came with an error (the answer broke off) is
            // a failure too: the success flag, not the status alone, decides.
            if (!succeeded) {
                log().error("Broker encountered connection error: " + errorDescription(error) + " | proxy: " + proxy);
                result = "Failed to upload the '" + type + "' telemetry (status code: " + std::to_string(status) +
                         "); error: " + errorDescription(error);
                log().error(result);
                replyText = result;
            } else {
                log().log("Successful connection for status via: " + proxy);
                result = "'" + type + "' telemetry was successfully uploaded to " + base + " (status code: " +
                         std::to_string(status) + ").";
                NerovaLogger::automation().log(result);
                log().log(result);
            }
            answer(replyText);
            NRVDictionary userInfo;
            userInfo.set(kNRVTelemetryBrokerSendDataResult, result);
            NRVDistributedNotificationCenter::postNotificationName(kNRVTelemetryBrokerSendDataNotification, userInfo);
            dispatch_group_safe_leave(group);
        });
    dispatch_group_safe_wait(group, platform::dispatch::DISPATCH_TIME_FOREVER);
}

void NRVTelemetryBroker::sendData(const std::optional<NRVDictionary>& data, const std::string& type,
                                  const std::string& server, const Reply& reply) {
    NRVTelemetryBroker broker(server);
    broker.sendTelemetry(data, type, reply);
}
