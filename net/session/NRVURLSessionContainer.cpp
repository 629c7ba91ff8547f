#include "net/session/NRVURLSessionContainer.h"

#include <algorithm>

#include "foundation/NRVDispatchExtensions.h"
#include "foundation/NRVQueueMonitor.h"
#include "foundation/NerovaLogger.h"
#include "net/session/NRVWebSocketTask.h"
#include "platform/thread/Mutex.h"
#include "platform/thread/RecursiveMutex.h"

namespace {

const NRVLogHandle& log() { return NerovaLogger::session(); }
// Debug records are dropped unless a sink takes them: skip building them.
bool debugging() { return log().isEnabled(platform::log::Level::Debug); }

std::string hashOf(const NRVURLSessionRef& session) { return NRVURLSession::hashText(session ? session->hash() : 0); }

std::size_t indexOf(const std::vector<NRVURLSessionRef>& list, const NRVURLSessionRef& session) {
    auto it = std::find(list.begin(), list.end(), session);
    return static_cast<std::size_t>(it - list.begin());
}

}  // namespace

NRVURLSessionContainer::NRVURLSessionContainer(NRVURLBrokerConfigurationRef initialConfiguration)
    : initialConfiguration_(std::move(initialConfiguration)),
      taskQueue_(platform::dispatch::DispatchQueue::createSerial("com.nerova.nrvurlsession.container.taskqueue")) {
    NRVQueueMonitor::monitorDispatchQueue(taskQueue_);
}

NRVURLSessionContainer::~NRVURLSessionContainer() {
    // Blocks queued by addTask and terminateAllAvailableTasks use `this`.
    if (!taskQueue_->isCurrent()) taskQueue_->sync([] {});
    for (const auto& session : invalidSessions_) session->finishTasksAndInvalidate();
    for (const auto& session : sessions_) session->finishTasksAndInvalidate();
    // A push stream or web socket must not outlive the broker's container:
    // nobody would hear of it any more.
    for (const auto& weak : availableTasks_) {
        auto task = weak.lock();
        if (task && task->kind() == NRVURLSessionTask::Kind::kStream) task->cancel();
    }
    std::shared_ptr<NRVWebSocketTask> socket;
    {
        platform::MutexLock lock(handlersMutex_);
        socket = std::move(webSocketTask_);
    }
    if (socket) socket->cancelWithCloseCode(NRVWebSocketTask::kGoingAway, "");
}

void NRVURLSessionContainer::withStateLock(const std::function<void()>& block) {
    platform::RecursiveMutexLock lock(stateMutex_);
    block();
}

void NRVURLSessionContainer::addSession(const NRVURLSessionRef& session,
                                        const NRVURLBrokerConfigurationRef& configuration) {
    withStateLock([&]() REQUIRES(stateMutex_) {
        sessionConfigType_[session->hash()] = configuration;
        sessions_.push_back(session);
        if (debugging()) log().debug("container::addSession(session " + hashOf(session) + ")");
        if (configuration && configuration->discardIfInvalid()) discardInvalidSession_ = true;
        if (configuration && configuration->enableSmartReset()) enableSmartReset_ = true;
    });
}

NRVURLBrokerConfigurationRef NRVURLSessionContainer::findConfigurationForSession(const NRVURLSessionRef& session) {
    NRVURLBrokerConfigurationRef found;
    if (!session) return found;
    withStateLock([&]() REQUIRES(stateMutex_) {
        auto it = sessionConfigType_.find(session->hash());
        if (it != sessionConfigType_.end()) found = it->second;
    });
    return found;
}

NRVURLSessionRef NRVURLSessionContainer::firstSession() {
    NRVURLSessionRef first;
    withStateLock([&]() REQUIRES(stateMutex_) {
        if (!sessions_.empty()) first = sessions_.front();
    });
    if (debugging()) log().debug("Acquired 'firstSession' on container's serial taskQueue: " + hashOf(first) + ", index 0");
    return first;
}

void NRVURLSessionContainer::resetSessionAndWait(const NRVURLSessionRef& session) {
    auto group = platform::dispatch::DispatchGroup::create();
    dispatch_group_safe_enter(group);
    session->resetWithCompletionHandler([group] { dispatch_group_safe_leave(group); });
    dispatch_group_safe_wait(group, platform::dispatch::DISPATCH_TIME_FOREVER);
}

NRVURLSessionRef NRVURLSessionContainer::nextSession(const NRVURLSessionRef& failed) {
    if (debugging()) log().debug("Entering nextSession() for session " + hashOf(failed));
    NRVURLSessionRef next;
    bool resetFailed = false;
    withStateLock([&]() REQUIRES(stateMutex_) {
        if (debugging()) log().debug("Executing nextSession() block on container's serial taskQueue for session " + hashOf(failed));
        if (std::find(invalidSessions_.begin(), invalidSessions_.end(), failed) != invalidSessions_.end()) {
            next = sessions_.empty() ? nullptr : sessions_.front();
            if (debugging()) log().debug("Session " + hashOf(failed) + " was discarded; acquiring first session as next session: " +
                        hashOf(next) + ", index 0");
            return;
        }
        const std::size_t i = indexOf(sessions_, failed);
        if (debugging()) log().debug("Current session " + hashOf(failed) + " index: " + std::to_string(i));
        if (debugging()) log().debug("Session container session count: " + std::to_string(sessions_.size()));
        if (i >= sessions_.size() || i + 1 == sessions_.size()) {
            if (debugging()) log().debug("No next session available - end of container reached");
            return;
        }
        next = sessions_[i + 1];
        if (debugging()) log().debug("Acquired next session in container: " + hashOf(next) + ", index " + std::to_string(i + 1));
        if (discardInvalidSession_) {
            auto configuration = sessionConfigType_[failed->hash()];
            log().log("Discarding invalid URL session: " + (configuration ? configuration->description() : "(null)"));
            sessions_.erase(sessions_.begin() + static_cast<std::ptrdiff_t>(i));
            invalidSessions_.push_back(failed);
            sessionConfigType_.erase(failed->hash());
        } else if (enableSmartReset_) {
            if (debugging()) log().debug("Last successful session = " + hashOf(lastSuccessfulSession_));
            if (failed == lastSuccessfulSession_) {
                if (debugging()) log().debug("Last successful session was this failed session, " + hashOf(failed) + " - will be reset");
                resetFailed = true;
            } else {
                if (debugging()) log().debug("Last successful session was NOT this failed session, " + hashOf(failed) +
                            " - will not be reset");
            }
        }
    });
    // The reset runs outside the lock: its completion may come from another
    // thread that calls into this container before it leaves the group.
    if (resetFailed) {
        if (debugging()) log().debug("Resetting session " + hashOf(failed) + " due to failure");
        resetSessionAndWait(failed);
    }
    if (debugging()) log().debug("Exiting nextSession()");
    if (next && debugging()) log().debug("Next session acquired: " + hashOf(next));
    return next;
}

void NRVURLSessionContainer::reportSuccessForSession(const NRVURLSessionRef& session) {
    if (debugging()) log().debug("Entering reportSuccessForSession() for session " + hashOf(session));
    bool smart = false;
    withStateLock([&]() REQUIRES(stateMutex_) { smart = enableSmartReset_; });
    if (smart) {
        bool changed = false;
        std::optional<std::size_t> found;
        std::vector<NRVURLSessionRef> later;
        withStateLock([&]() REQUIRES(stateMutex_) {
            if (debugging()) log().debug("Executing reportSuccessForSession() block on container's serial taskQueue for session " +
                        hashOf(session));
            if (session == lastSuccessfulSession_) {
                if (debugging()) log().debug("Last successful session: no change; remains session " + hashOf(session));
                return;
            }
            changed = true;
            const std::size_t i = indexOf(sessions_, session);
            if (i < sessions_.size()) {
                if (debugging()) log().debug("Will reset all subsequent sessions in session container: [" + std::to_string(i) + "," +
                            std::to_string(sessions_.size() - 1) + "]");
                found = i;
                later.assign(sessions_.begin() + static_cast<std::ptrdiff_t>(i) + 1, sessions_.end());
            }
        });
        if (changed) {
            // As in nextSession(), the resets are waited for outside the lock.
            if (found) {
                auto group = platform::dispatch::DispatchGroup::create();
                for (std::size_t k = 0; k < later.size(); ++k) {
                    if (debugging()) log().debug("Resetting session " + hashOf(later[k]) + ", index " + std::to_string(*found + 1 + k));
                    dispatch_group_safe_enter(group);
                    later[k]->resetWithCompletionHandler([group] { dispatch_group_safe_leave(group); });
                }
                dispatch_group_safe_wait(group, platform::dispatch::DISPATCH_TIME_FOREVER);
                if (debugging()) log().debug("Subsequent sessions reset");
            }
            withStateLock([&]() REQUIRES(stateMutex_) { lastSuccessfulSession_ = session; });
            if (debugging()) log().debug("New last successful session set - " + hashOf(session));
        }
    }
    if (debugging()) log().debug("Leaving reportSuccessForSession() for session " + hashOf(session));
}

void NRVURLSessionContainer::addTask(const NRVURLSessionTaskRef& task) {
    // Under the lock a synchronous insert costs no more than queuing one,
    // and a hasTask() that follows sees the task.
    addTaskSynchronously(task);
}

void NRVURLSessionContainer::addTaskSynchronously(const NRVURLSessionTaskRef& task) {
    withStateLock([&]() REQUIRES(stateMutex_) {
        std::erase_if(availableTasks_, [](const auto& w) { return w.expired(); });
        availableTasks_.push_back(task);
    });
}

bool NRVURLSessionContainer::hasTask(const NRVURLSessionTask* task) {
    bool found = false;
    withStateLock([&]() REQUIRES(stateMutex_) {
        for (const auto& weak : availableTasks_) {
            auto held = weak.lock();
            if (held && held.get() == task) found = true;
        }
    });
    return found;
}

void NRVURLSessionContainer::terminateAllAvailableTasks() {
    taskQueue_->async([this] {
        std::vector<NRVURLSessionTaskRef> tasks;
        {
            platform::RecursiveMutexLock lock(stateMutex_);
            for (const auto& weak : availableTasks_) {
                if (auto task = weak.lock()) tasks.push_back(std::move(task));
            }
        }
        for (const auto& task : tasks) {
            if (task->state() == NRVURLSessionTask::State::kRunning) task->cancel();
            log().log("Cancelled task: " + NRVURLSession::hashText(task->taskIdentifier()));
        }
    });
}

NRVDictionary NRVURLSessionContainer::proxyDetailsForSession(const NRVURLSessionRef& session) {
    NRVURLBrokerConfigurationRef configuration = findConfigurationForSession(session);
    NRVDictionary details;
    const std::uint64_t type = configuration ? configuration->proxyConfigType() : 0;
    if (type == NRVURLBrokerConfiguration::kSystemConfiguration) {
        details.set("proxyUsageDescription", "Using system settings");
        details.set("brokerConfigType", 0);
    } else if (type == NRVURLBrokerConfiguration::kCustomConfiguration ||
               type == NRVURLBrokerConfiguration::kMessageRelayConfiguration) {
        const std::string host = configuration->proxyHostname().value_or("(null)");
        const std::string port = std::to_string(configuration->proxyPort());
        const std::string user = configuration->proxyUsername().value_or("(null)");
        details.set("proxyUsageDescription", host + ":" + port + ", username: '" + user + "' ");
        details.set("brokerConfigType", static_cast<long long>(type));
        NRVDictionary custom;
        custom.set("proxyAddress", host + ":" + port);
        if (configuration->proxyHostname()) custom.set("proxyHost", *configuration->proxyHostname());
        custom.set("proxyPort", static_cast<long long>(configuration->proxyPort()));
        if (configuration->proxyUsername()) custom.set("proxyUsername", *configuration->proxyUsername());
        details.set("customProxyDetails", std::move(custom));
    } else {
        details.set("proxyUsageDescription", "No proxy used");
        details.set("brokerConfigType", 3);
    }
    return details;
}

std::vector<NRVURLSessionRef> NRVURLSessionContainer::sessions() {
    std::vector<NRVURLSessionRef> copy;
    withStateLock([&]() REQUIRES(stateMutex_) { copy = sessions_; });
    return copy;
}

bool NRVURLSessionContainer::discardInvalidSession() {
    bool value = false;
    withStateLock([&]() REQUIRES(stateMutex_) { value = discardInvalidSession_; });
    return value;
}

bool NRVURLSessionContainer::enableSmartReset() {
    bool value = false;
    withStateLock([&]() REQUIRES(stateMutex_) { value = enableSmartReset_; });
    return value;
}

NRVURLAuthenticationHandler NRVURLSessionContainer::authHandler() const {
    platform::MutexLock lock(handlersMutex_);
    return authHandler_;
}
void NRVURLSessionContainer::setAuthHandler(NRVURLAuthenticationHandler handler) {
    platform::MutexLock lock(handlersMutex_);
    authHandler_ = std::move(handler);
}
NRVPushConnectionHandler NRVURLSessionContainer::connectionHandler() const {
    platform::MutexLock lock(handlersMutex_);
    return connectionHandler_;
}
void NRVURLSessionContainer::setConnectionHandler(NRVPushConnectionHandler handler) {
    platform::MutexLock lock(handlersMutex_);
    connectionHandler_ = std::move(handler);
}
NRVWebSocketHandler NRVURLSessionContainer::webSocketHandler() const {
    platform::MutexLock lock(handlersMutex_);
    return webSocketHandler_;
}
void NRVURLSessionContainer::setWebSocketHandler(NRVWebSocketHandler handler) {
    platform::MutexLock lock(handlersMutex_);
    webSocketHandler_ = std::move(handler);
}
std::shared_ptr<NRVWebSocketTask> NRVURLSessionContainer::webSocketTask() const {
    platform::MutexLock lock(handlersMutex_);
    return webSocketTask_;
}
void NRVURLSessionContainer::setWebSocketTask(std::shared_ptr<NRVWebSocketTask> task) {
    platform::MutexLock lock(handlersMutex_);
    webSocketTask_ = std::move(task);
}
