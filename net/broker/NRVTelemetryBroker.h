// Uploads one telemetry document (a JSON object) by PUT to the telemetry
// server under a dated path, through its own URL broker with the default
// configuration (the product's relays and proxies in turn), accepting the
// server only when its chain leads to the system's anchors. The result goes
// to the reply block and, as a distributed notification, to every
// interested process.
//
// Threading: sendTelemetry blocks its caller until the upload has finished,
// so it must not be called on the URL session handler's queue. The reply
// runs on that queue before sendTelemetry returns. The local observers of a
// refused server run on the transfer thread that met the refusal.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/session/NRVServerAuthenticator.h"
#include "net/broker/NRVURLBroker.h"
#include "platform/value/NRVValue.h"

extern const char* const kNRVTelemetryDateTime;
extern const char* const kNRVTelemetryTelemetryType;
extern const char* const kNRVTelemetrySystemVersion;
extern const char* const kNRVTelemetryCustomerId;
extern const char* const kNRVTelemetryMachineId;
extern const char* const kNRVTelemetryTenantId;
extern const char* const kNRVTelemetrySerialNumber;
extern const char* const kNRVTelemetryProductVersion;
extern const char* const kNRVTelemetryBrokerSendDataNotification;
extern const char* const kNRVTelemetryBrokerSendDataResult;

class NRVTelemetryBroker {
public:
    // nullopt on success, else the failure text.
    using Reply = std::function<void(const std::optional<std::string>&)>;
    // What the process's own observers of kNRVTelemetryBrokerSendDataNotification
    // get when a server's certificate is refused: the broker (nullptr when it
    // is gone by then) and the user info.
    using LocalObserver = std::function<void(const NRVTelemetryBroker*, const NRVDictionary&)>;

    explicit NRVTelemetryBroker(const std::string& domain);
    // On a URL session handler of the caller's choosing (tests).
    NRVTelemetryBroker(const std::string& domain, std::shared_ptr<NRVURLSessionHandler> handler);
    ~NRVTelemetryBroker();
    NRVTelemetryBroker(const NRVTelemetryBroker&) = delete;
    NRVTelemetryBroker& operator=(const NRVTelemetryBroker&) = delete;

    void sendTelemetry(const std::optional<NRVDictionary>& data, const std::string& type, const Reply& reply);
    static void sendData(const std::optional<NRVDictionary>& data, const std::string& type, const std::string& server,
                         const Reply& reply);

    // "<base>/<yyyy>/<MM>/<dd>/<HH>/<uuid>.json" for an upload at `date` (UTC).
    static std::string uploadURL(const std::string& base, NRVDate date, const std::string& lowerCaseUUID);

    // The process-local notification posted when the server is refused.
    static void addLocalObserver(const void* key, LocalObserver observer);
    static void removeLocalObserver(const void* key);

    const std::string& telemetryURL() const { return telemetryURL_; }

private:
    // The stock answer of a telemetry broker; `broker` is nullptr once it is gone.
    static std::optional<NRVURLAuthenticationAnswer> answerChallenge(NRVServerAuthenticator& authenticator,
                                                                     const NRVTelemetryBroker* broker,
                                                                     const NRVURLAuthenticationChallenge& challenge);

    std::shared_ptr<NRVServerAuthenticator> serverAuthenticator_;
    std::unique_ptr<NRVURLBroker> urlBroker_;
    std::string telemetryURL_;
    std::shared_ptr<std::atomic<const NRVTelemetryBroker*>> owner_;
};
