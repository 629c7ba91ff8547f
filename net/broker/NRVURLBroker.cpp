#include "net/broker/NRVURLBroker.h"

#include "ipc/xpc/NRVUUID.h"

const std::shared_ptr<NRVURLSessionHandler>& NRVURLBroker::sharedHandler() {
    // Made once and kept for the life of the process, as every broker of
    // the process relies on it.
    static const std::shared_ptr<NRVURLSessionHandler>* handler =
        new std::shared_ptr<NRVURLSessionHandler>(NRVURLSessionHandler::create());
    return *handler;
}

NRVURLBroker::NRVURLBroker() : NRVURLBroker(sharedHandler()) {}

NRVURLBroker::NRVURLBroker(std::shared_ptr<NRVURLSessionHandler> handler)
    : brokerID_(NRVUUIDString()), handler_(std::move(handler)) {}

NRVURLBroker::~NRVURLBroker() { stop(); }

void NRVURLBroker::startWithConfiguration(NRVURLBrokerConfigurationRef configuration,
                                          NRVURLAuthenticationHandler authHandler) {
    handler_->registerBroker(brokerID_, std::move(configuration));
    handler_->registerAuthenticationHandlerForBroker(brokerID_, std::move(authHandler));
}

void NRVURLBroker::startWithAuthHandler(NRVURLAuthenticationHandler authHandler) {
    startWithConfiguration(NRVURLBrokerConfiguration::defaultConfiguration(), std::move(authHandler));
}

void NRVURLBroker::updateConfiguration(NRVURLBrokerConfigurationRef configuration) {
    handler_->registerBroker(brokerID_, std::move(configuration));
}

void NRVURLBroker::updateConfigurationForBootstrapper(const NRVDictionary& dictionary) {
    handler_->configFromBootstrapper(dictionary);
}

void NRVURLBroker::setSelfReportingOfMessageRelayFailures(bool value) {
    handler_->setSelfReportMessageRelayErrors(value);
}

void NRVURLBroker::stop() { handler_->unregisterBroker(brokerID_); }

void NRVURLBroker::terminateAllTasks() { handler_->terminateTasksForBroker(brokerID_); }

void NRVURLBroker::dataWithRequest(const NRVURLRequest& request, NRVURLSessionHandler::DataResolution reply) {
    handler_->dataWithRequest(request, brokerID_, std::move(reply));
}

void NRVURLBroker::uploadWithRequest(const NRVURLRequest& request, const NRVData& data,
                                     NRVURLSessionHandler::DataResolution reply) {
    handler_->uploadWithRequest(request, brokerID_, data, std::move(reply));
}

void NRVURLBroker::downloadWithRequest(const NRVURLRequest& request, NRVURLSessionHandler::DownloadResolution reply) {
    handler_->downloadWithRequest(request, brokerID_, std::move(reply));
}

void NRVURLBroker::connectToPushServer(const NRVURLRequest& request, NRVPushConnectionHandler connectionHandler) {
    handler_->connectToPushServer(request, brokerID_, std::move(connectionHandler));
}

void NRVURLBroker::connectToWebSocketServer(const NRVURLRequest& request, NRVWebSocketHandler connectionHandler) {
    handler_->connectToWebSocketServer(request, brokerID_, std::move(connectionHandler));
}

void NRVURLBroker::send(const std::string& text, NRVURLSessionHandler::SendCompletion completion) {
    handler_->send(text, brokerID_, std::move(completion));
}
