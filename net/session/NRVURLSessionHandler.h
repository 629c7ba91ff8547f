// The process-wide engine behind every URL broker: one session container per
// broker, each request run on the container's first session and repeated on
// the next one after a failure until one succeeds or none is left, with every
// attempt recorded in one NRVURLResponse. It follows the product's proxy and
// message-relay settings (read from the settings service, each read bounded
// to 500 ms) and the machine's proxy settings, answers authentication
// challenges, and carries the brokers' push streams and web sockets.
//
// Threading. Every public operation dispatches onto the serial taskQueue
// "com.nerova.nrvurlsession.handler.taskqueue" and returns at once, except
// configSettingsChanged (runs on the caller's thread, blocking at most
// 2 x 500 ms) and the accessors. Transfer completions, push and web-socket
// callbacks and resolution blocks all run on taskQueue. Requests and
// transfer completions reach taskQueue through the engine's dispatch, so an
// idle taskQueue runs them on the transfer thread without a thread switch:
// blocks on taskQueue (resolution blocks included) hold up the transfers
// while they run and must be short. A server-trust challenge is raised on
// the transfer thread, which waits for taskQueue to answer it (meanwhile the
// engine leaves taskQueue to pool threads); nothing on taskQueue ever waits
// for the transfer thread (session resets are immediate), so that wait
// cannot deadlock. The proxy and relay settings are guarded by a lock: the
// settings notifier writes them from its own thread. The destructor must not
// run on taskQueue.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/session/NRVURLAuthenticationChallenge.h"
#include "net/broker/NRVURLBrokerConfiguration.h"
#include "net/url/NRVURLRequest.h"
#include "net/url/NRVURLResponse.h"
#include "net/session/NRVURLSessionContainer.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/http/HttpEngine.h"

class NRVXPCClientHelper;
class NRVDistributedNotification;
class NRVWebSocketTask;
struct NRVHandlerRequest;
struct NRVHandlerAuthState;

class NRVURLSessionHandler : public std::enable_shared_from_this<NRVURLSessionHandler> {
public:
    using DataResolution = std::function<void(std::shared_ptr<NRVURLResponse>, std::optional<NRVData>)>;
    using DownloadResolution = std::function<void(std::shared_ptr<NRVURLResponse>)>;
    using SendCompletion = std::function<void(NRVErrorRef)>;

    static constexpr const char* kErrorDomain = "com.nerova.nrvurlsession.handler";
    static constexpr const char* kMessageRelayFailureNotification =
        "com.nerova.foundation.urlbroker.notification.messageRelayFailure";
    static constexpr const char* kSettingsService = "com.nerova.configxpc";
    static constexpr const char* kSettingsChangedNotification = "QRBGlobalSettingsDidChangeNotification";
    static constexpr const char* kSettingsKeyModified = "QRBGlobalSettingsKeyModified";
    // Open web sockets are pinged at this interval (seconds). Each pong is
    // awaited until the next ping is due; a socket still without it then
    // fails like one whose pong came back with an error.
    static constexpr double kPingInterval = 90.0;
    // What a data or upload task may hold of its reply (decoded): past it the
    // attempt fails with -1103 and what it held is freed. The system's own
    // replies are small documents (telemetry answers); 64 MiB leaves room
    // for any reply a client keeps in memory.
    static constexpr std::uint64_t kMaximumDataBodyBytes = 64ull << 20;
    // What a compressed body may decode to; download tasks write to their
    // file up to this (an uncompressed download has no limit: the server
    // sends every byte of it).
    static constexpr std::uint64_t kMaximumDecodedBodyBytes = 1ull << 30;

    // A handler wired to the settings service, its change notification and
    // the machine's proxy settings (what the brokers' shared handler is).
    static std::shared_ptr<NRVURLSessionHandler> create();
    // A handler without those outside connections: tests and benchmarks
    // feed it settings through configFromBootstrapper.
    static std::shared_ptr<NRVURLSessionHandler> createDetached();
    ~NRVURLSessionHandler();

    void registerBroker(const std::string& brokerID, NRVURLBrokerConfigurationRef configuration);
    void registerAuthenticationHandlerForBroker(const std::string& brokerID, NRVURLAuthenticationHandler handler);
    void unregisterBroker(const std::string& brokerID);
    void terminateTasksForBroker(const std::string& brokerID);

    void dataWithRequest(const NRVURLRequest& request, const std::string& brokerID, DataResolution resolution);
    void uploadWithRequest(const NRVURLRequest& request, const std::string& brokerID, const NRVData& data,
                           DataResolution resolution);
    void downloadWithRequest(const NRVURLRequest& request, const std::string& brokerID, DownloadResolution resolution);

    void connectToPushServer(const NRVURLRequest& request, const std::string& brokerID,
                             NRVPushConnectionHandler connectionHandler);
    void connectToWebSocketServer(const NRVURLRequest& request, const std::string& brokerID,
                                  NRVWebSocketHandler connectionHandler);
    void send(const std::string& text, const std::string& brokerID, SendCompletion completion);

    void configFromBootstrapper(const NRVDictionary& dictionary);
    void refreshContainers();
    // A settings change: `payload` is the notification's dictionary (nullptr: re-read both).
    void configSettingsChanged(const NRVDictionary* payload);

    bool selfReportMessageRelayErrors() const { return selfReportMessageRelayErrors_; }
    void setSelfReportMessageRelayErrors(bool value) { selfReportMessageRelayErrors_ = value; }
    unsigned long sseState() const { return sseState_; }
    // "CustomProxyConfiguration" and "MessageRelayConfiguration" as the
    // containers are built from them.
    struct InternalConfiguration {
        NRVURLBrokerConfigurationRef customProxyConfiguration;
        std::vector<NRVURLBrokerConfigurationRef> messageRelayConfiguration;
    };
    InternalConfiguration internalConfiguration() const;
    NRVValue messageRelayConfigs() const;
    NRVValue customProxyConfig() const;

    // The broker's current container, read on taskQueue (tests).
    NRVURLSessionContainerRef containerForBroker(const std::string& brokerID);
    // Puts `container` under the broker ID as a registration would: tests
    // give a broker a container that no configuration builds (one without
    // sessions).
    void setContainerForUnitTest(const std::string& brokerID, NRVURLSessionContainerRef container);
    bool hasPingTimer();
    std::size_t webSocketTaskCount();
    // Waits until taskQueue has run everything queued before the call.
    void drainForUnitTest();
    // Shortens the ping interval, and with it the wait for each pong.
    void setPingIntervalForUnitTest(double seconds) { pingInterval_ = seconds; }
    // Lowers what one web socket may hold unsent and how long it waits for
    // its peer to take it (NRVWebSocketTask's limits otherwise).
    void setWebSocketSendLimitsForUnitTest(std::size_t unsentBytes, std::chrono::steady_clock::duration drainLimit) {
        maxUnsentBytes_ = unsentBytes;
        drainLimit_ = drainLimit;
    }
    // Lowers the two body limits above.
    void setBodyLimitsForUnitTest(std::uint64_t dataBytes, std::uint64_t decodedBytes) {
        maxDataBodyBytes_ = dataBytes;
        maxDecodedBodyBytes_ = decodedBytes;
    }
    // How long create() waits for the settings service's connection (and the
    // first read of the settings it starts) for handlers created from now on;
    // kSettingsConnectWait unless a test changed it.
    static constexpr std::chrono::milliseconds kSettingsConnectWait{500};
    static void setSettingsConnectWaitForUnitTest(std::chrono::milliseconds wait);
    const std::shared_ptr<platform::dispatch::DispatchQueue>& taskQueue() const { return taskQueue_; }
    const std::shared_ptr<platform::http::Engine>& engine() const { return engine_; }

private:
    NRVURLSessionHandler();
    void setup();
    // Stores a setting's new value under settingsMutex_; true when a null
    // value removed one that was set (the routes must be rebuilt without it).
    bool storeSetting(NRVValue& setting, const NRVValue& value);
    void registerBrokerOnQueue(const std::string& brokerID, const NRVURLBrokerConfigurationRef& configuration);
    NRVURLSessionContainerRef containerForConfig(const NRVURLBrokerConfigurationRef& configuration);
    NRVURLSessionRef URLSessionWithConfiguration(const NRVURLBrokerConfigurationRef& configuration);
    NRVURLSessionContainerRef lookUp(const std::string& brokerID);
    NRVURLSessionContainerRef containerForTask(const NRVURLSessionTask* task);

    // On the task queue: finds the broker's container and starts the first
    // attempt, or resolves the request with the reason it cannot start.
    void enterRequest(const std::shared_ptr<NRVHandlerRequest>& request, const std::string& brokerID);
    void startAttempt(const std::shared_ptr<NRVHandlerRequest>& request, const NRVURLSessionRef& session);
    void runTransfer(const std::shared_ptr<NRVHandlerRequest>& request, const NRVURLSessionTaskRef& task,
                     const std::shared_ptr<NRVHandlerAuthState>& auth);
    void transferDone(const std::shared_ptr<NRVHandlerRequest>& request, const NRVURLSessionTaskRef& task,
                      const std::shared_ptr<NRVHandlerAuthState>& auth, const platform::http::TransferResult& result,
                      const std::shared_ptr<NRVData>& body, const std::string& downloadPath);
    void resolve(const std::shared_ptr<NRVHandlerRequest>& request, std::optional<NRVData> data);

    // Challenges.
    platform::http::ServerTrustHook trustHookFor(const NRVURLSessionTaskRef& task);
    NRVURLAuthenticationAnswer handleChallenge(const NRVURLSessionTask* task,
                                               const NRVURLAuthenticationChallenge& challenge);
    // true when the transfer was started again with the challenge's answer.
    bool retryAfterChallenge(const NRVURLSessionTaskRef& task, const platform::http::TransferResult& result,
                             NRVHandlerAuthState& auth, NRVHTTPURLResponseRef* response, NRVErrorRef* error);

    // Cookie lines of the session for the request's URL (names, keyed
    // digests of the values, flags; never a value).
    void logCookies(const NRVURLSessionRef& session, const NRVURLRequest& request, const std::string& label);

public:
    // YES only when `item` was used for `key` before, then replaced, and now
    // comes back. Process-wide tables, guarded by a lock.
    static bool detectItemReuse(const std::optional<std::string>& item, const std::string& key,
                                const std::string& logMsgPrefix, const std::string& logNameForItems);

private:
    void reportCustomProxyFailure(const NRVDictionary& details);
    void trimMessageRelayFromConfig(const std::string& host);
    void logOperationFailure(const std::string& label, const NRVURLRequest& request, const NRVURLSessionRef& session,
                             const NRVErrorRef& error, const NRVURLSessionRef& next, const NRVDictionary& details,
                             const NRVHTTPURLResponseRef& response);

    // Push streams.
    void connectToPushServerForContainer(const NRVURLRequest& request, const NRVURLSessionContainerRef& container,
                                         const NRVURLSessionRef& session);
    void runStreamTransfer(const NRVURLSessionTaskRef& task, const std::shared_ptr<NRVHandlerAuthState>& auth);
    void didReceiveResponse(const NRVURLSessionTaskRef& task, const NRVHTTPURLResponseRef& response);
    void didReceiveData(const NRVURLSessionTaskRef& task, const NRVData& data);
    void didCompleteWithError(const NRVURLSessionTaskRef& task, NRVErrorRef error);
    void resetPushForContainer(const NRVURLSessionContainerRef& container);

    // Web sockets.
    void connectToWebSocketServerForContainer(const NRVURLRequest& request, const NRVURLSessionContainerRef& container,
                                              const NRVURLSessionRef& session);
    void didOpen(const std::shared_ptr<NRVWebSocketTask>& task);
    void didFailToOpen(const std::shared_ptr<NRVWebSocketTask>& task, const platform::http::TransferResult& result);
    // A web socket that failed (before or after it opened) tries the
    // container's next session; the handler hears of the failure with
    // event 4 unless `reported` (it has already), or `cancelled` ends it.
    void webSocketFailed(const std::shared_ptr<NRVWebSocketTask>& task, const NRVURLSessionContainerRef& container,
                         const NRVErrorRef& error, bool cancelled, bool reported);
    void didReceiveMessage(const std::shared_ptr<NRVWebSocketTask>& task, std::optional<std::string> text,
                           std::optional<NRVData> data);
    void didEnd(const std::shared_ptr<NRVWebSocketTask>& task, std::uint16_t code, const std::string& reason,
                const std::string& error);
    void sendPing();
    void invalidateTimer();

    std::atomic<bool> selfReportMessageRelayErrors_{false};
    std::shared_ptr<platform::dispatch::DispatchQueue> taskQueue_;
    std::shared_ptr<platform::http::Engine> engine_;

    mutable std::mutex tablesMutex_;
    std::map<std::string, NRVURLSessionContainerRef> containers_;
    std::vector<std::weak_ptr<NRVURLSessionContainer>> existingContainers_;

    mutable std::mutex settingsMutex_;
    NRVValue messageRelayConfigs_;
    NRVValue customProxyConfig_;

    std::shared_ptr<NRVDistributedNotification> distributedNotification_;
    std::shared_ptr<NRVXPCClientHelper> clientHelper_;

    std::atomic<unsigned long> sseState_{0};
    std::shared_ptr<platform::dispatch::DispatchSourceTimer> pingTimer_;
    std::vector<std::shared_ptr<NRVWebSocketTask>> webSocketTasks_;
    std::vector<NRVWebSocketHandler> webSocketHandlers_;
    std::atomic<double> pingInterval_{kPingInterval};
    std::atomic<std::uint64_t> maxDataBodyBytes_{kMaximumDataBodyBytes};
    std::atomic<std::uint64_t> maxDecodedBodyBytes_{kMaximumDecodedBodyBytes};
    // Set before the sockets they apply to are opened (tests).
    std::size_t maxUnsentBytes_ = 0;
    std::chrono::steady_clock::duration drainLimit_{};
};
