// A client's handle on the URL networking layer: every broker forwards to
// the one process-wide NRVURLSessionHandler under its own broker ID, so that
// each broker gets its own container of routes.
//
// Threading: every call may be made from any thread and returns at once;
// replies and handlers run on the shared handler's queue. Destroying the
// broker unregisters it (its container, push stream and web socket go).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "net/session/NRVURLSessionHandler.h"

class NRVURLBroker {
public:
    NRVURLBroker();
    // A broker on a handler of the caller's choosing (tests, benchmarks).
    explicit NRVURLBroker(std::shared_ptr<NRVURLSessionHandler> handler);
    ~NRVURLBroker();
    NRVURLBroker(const NRVURLBroker&) = delete;
    NRVURLBroker& operator=(const NRVURLBroker&) = delete;

    // The process-wide handler, made once on first use.
    static const std::shared_ptr<NRVURLSessionHandler>& sharedHandler();

    const std::string& brokerID() const { return brokerID_; }

    void startWithConfiguration(NRVURLBrokerConfigurationRef configuration, NRVURLAuthenticationHandler authHandler);
    void startWithAuthHandler(NRVURLAuthenticationHandler authHandler);
    void updateConfiguration(NRVURLBrokerConfigurationRef configuration);
    void updateConfigurationForBootstrapper(const NRVDictionary& dictionary);
    void setSelfReportingOfMessageRelayFailures(bool value);
    void stop();
    void terminateAllTasks();

    void dataWithRequest(const NRVURLRequest& request, NRVURLSessionHandler::DataResolution reply);
    void uploadWithRequest(const NRVURLRequest& request, const NRVData& data, NRVURLSessionHandler::DataResolution reply);
    void downloadWithRequest(const NRVURLRequest& request, NRVURLSessionHandler::DownloadResolution reply);
    void connectToPushServer(const NRVURLRequest& request, NRVPushConnectionHandler connectionHandler);
    void connectToWebSocketServer(const NRVURLRequest& request, NRVWebSocketHandler connectionHandler);
    void send(const std::string& text, NRVURLSessionHandler::SendCompletion completion);

private:
    std::string brokerID_;
    std::shared_ptr<NRVURLSessionHandler> handler_;
};
