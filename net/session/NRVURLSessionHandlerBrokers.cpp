#include "net/session/NRVURLSessionHandler.h"

#include <map>

#include "foundation/NerovaLogger.h"
#include "net/session/NRVURLSessionHandlerInternal.h"

using platform::dispatch::DispatchQueue;

namespace {

const NRVLogHandle& sessionLog() { return NerovaLogger::session(); }

}  // namespace

// --- brokers and containers -------------------------------------------------

NRVURLSessionRef NRVURLSessionHandler::URLSessionWithConfiguration(const NRVURLBrokerConfigurationRef& configuration) {
    return std::make_shared<NRVURLSession>(engine_, configuration);
}

NRVURLSessionContainerRef NRVURLSessionHandler::containerForConfig(const NRVURLBrokerConfigurationRef& configuration) {
    auto container = std::make_shared<NRVURLSessionContainer>(configuration);
    const std::uint64_t type = configuration ? configuration->proxyConfigType() : 0;
    auto add = [&](const NRVURLBrokerConfigurationRef& c, const char* text) {
        auto session = URLSessionWithConfiguration(c);
        container->addSession(session, c);
        sessionLog().debug(std::string(text) + " " + session->hashText() + " to container");
    };
    switch (type) {
    case NRVURLBrokerConfiguration::kSystemConfiguration: break;
    case NRVURLBrokerConfiguration::kDefaultConfiguration: {
        InternalConfiguration internal = internalConfiguration();
        for (const auto& relay : internal.messageRelayConfiguration) add(relay, "Added message relay config session");
        if (internal.customProxyConfiguration) {
            add(internal.customProxyConfiguration, "Added custom proxy config session");
        }
        break;
    }
    case NRVURLBrokerConfiguration::kCustomConfiguration:
        add(configuration, "Added support custom proxy config session");
        break;
    case NRVURLBrokerConfiguration::kMessageRelayConfiguration:
        add(configuration, "Added message relay support custom proxy config session");
        break;
    default: break;
    }
    auto withFlags = [&](std::uint64_t t) {
        auto c = NRVURLBrokerConfiguration::initWithType(t);
        if (configuration) {
            c->setDiscardIfInvalid(configuration->discardIfInvalid());
            c->setEnableSmartReset(configuration->enableSmartReset());
        }
        return c;
    };
    if (type <= NRVURLBrokerConfiguration::kCustomConfiguration ||
        type == NRVURLBrokerConfiguration::kMessageRelayConfiguration) {
        add(withFlags(NRVURLBrokerConfiguration::kSystemConfiguration), "Added system proxy session");
    }
    add(withFlags(NRVURLBrokerConfiguration::kNoProxyConfiguration), "Added no proxy config session");
    return container;
}

void NRVURLSessionHandler::registerBrokerOnQueue(const std::string& brokerID,
                                                 const NRVURLBrokerConfigurationRef& configuration) {
    sessionLog().debug("Executing registerBroker() code on handler taskQueue for (BrokerID: " + brokerID + ")");
    if (configuration && configuration->discardIfInvalid()) {
        sessionLog().log("Configuring URL broker to discard invalid sessions (BrokerID: " + brokerID + ")");
    } else if (configuration && configuration->enableSmartReset()) {
        sessionLog().log("Enabling smart session reset for (BrokerID: " + brokerID + ")");
    }
    sessionLog().log("Creating container of sessions for (BrokerID: " + brokerID + ")");
    auto container = containerForConfig(configuration);
    NRVURLSessionContainerRef old;
    {
        std::lock_guard<std::mutex> lock(tablesMutex_);
        std::erase_if(existingContainers_, [](const auto& w) { return w.expired(); });
        existingContainers_.push_back(container);
        auto it = containers_.find(brokerID);
        if (it != containers_.end()) old = it->second;
        containers_[brokerID] = container;
    }
    if (old) container->setAuthHandler(old->authHandler());
    // The old container goes here, outside the lock: its destructor closes
    // its streams.
}

void NRVURLSessionHandler::registerBroker(const std::string& brokerID, NRVURLBrokerConfigurationRef configuration) {
    auto self = shared_from_this();
    taskQueue_->async([self, brokerID, configuration] { self->registerBrokerOnQueue(brokerID, configuration); });
}

void NRVURLSessionHandler::registerAuthenticationHandlerForBroker(const std::string& brokerID,
                                                                  NRVURLAuthenticationHandler handler) {
    auto self = shared_from_this();
    taskQueue_->async([self, brokerID, handler] {
        if (auto container = self->lookUp(brokerID)) container->setAuthHandler(handler);
    });
}

void NRVURLSessionHandler::unregisterBroker(const std::string& brokerID) {
    auto self = shared_from_this();
    taskQueue_->async([self, brokerID] {
        NRVURLSessionContainerRef old;
        std::lock_guard<std::mutex> lock(self->tablesMutex_);
        auto it = self->containers_.find(brokerID);
        if (it == self->containers_.end()) return;
        old = std::move(it->second);
        self->containers_.erase(it);
    });
}

void NRVURLSessionHandler::terminateTasksForBroker(const std::string& brokerID) {
    auto self = shared_from_this();
    taskQueue_->async([self, brokerID] {
        if (auto container = self->lookUp(brokerID)) {
            container->terminateAllAvailableTasks();
            sessionLog().log("Terminated all available tasks for broker: " + brokerID);
        } else {
            sessionLog().log("No container found for broker: " + brokerID);
        }
    });
}

void NRVURLSessionHandler::refreshContainers() {
    auto self = shared_from_this();
    taskQueue_->async([self] {
        std::map<std::string, NRVURLSessionContainerRef> current;
        {
            std::lock_guard<std::mutex> lock(self->tablesMutex_);
            current = self->containers_;
        }
        NerovaLogger::proxy().log("Refresh all sessions in containers (Found containers: " +
                                  std::to_string(current.size()) + ").");
        for (const auto& [brokerID, container] : current) {
            NerovaLogger::proxy().log("Refreshing container. (Broker ID: " + brokerID + ")");
            if (container->connectionHandler()) self->resetPushForContainer(container);
            self->registerBrokerOnQueue(brokerID, container->initialConfiguration());
        }
    });
}

NRVURLSessionContainerRef NRVURLSessionHandler::lookUp(const std::string& brokerID) {
    std::lock_guard<std::mutex> lock(tablesMutex_);
    auto it = containers_.find(brokerID);
    return it == containers_.end() ? nullptr : it->second;
}

NRVURLSessionContainerRef NRVURLSessionHandler::containerForTask(const NRVURLSessionTask* task) {
    std::vector<NRVURLSessionContainerRef> live;
    {
        std::lock_guard<std::mutex> lock(tablesMutex_);
        for (const auto& weak : existingContainers_) {
            if (auto c = weak.lock()) live.push_back(c);
        }
    }
    for (const auto& container : live) {
        if (container->hasTask(task)) return container;
    }
    return nullptr;
}

NRVURLSessionContainerRef NRVURLSessionHandler::containerForBroker(const std::string& brokerID) {
    drainForUnitTest();
    return lookUp(brokerID);
}

void NRVURLSessionHandler::setContainerForUnitTest(const std::string& brokerID, NRVURLSessionContainerRef container) {
    taskQueue_->sync([&] {
        std::lock_guard<std::mutex> lock(tablesMutex_);
        existingContainers_.push_back(container);
        containers_[brokerID] = container;
    });
}

void NRVURLSessionHandler::drainForUnitTest() {
    if (!taskQueue_->isCurrent()) taskQueue_->sync([] {});
}
